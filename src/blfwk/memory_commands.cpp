#include "blfwk/memory_commands.h"

#include "blfwk/command_args.h"
#include "blfwk/logger.h"

#include "textutil/format.h"

#include <cctype>
#include <cstdlib>
#include <memory>

namespace blfwk {

namespace {

uint32_t hex16(const std::string& text)
{
    return uint32_t(std::strtoul(text.c_str(), nullptr, 16));
}

std::string hexArg(uint32_t value)
{
    return textutil::format("0x%08x", value);
}

bool isHexDataText(const std::string& text)
{
    return text.size() >= 2 && text[0] == '{' && text[1] == '{';
}

// Data text as a user types it: "{{", pairs of hexadecimal digits (blanks between them
// allowed), "}}". An unclosed text, a stray character or a lone last digit is refused rather
// than guessed at.
bool isWellFormedHexText(const std::string& text)
{
    if (text.size() < 4 || text.compare(text.size() - 2, 2, "}}") != 0)
        return false;
    size_t digits = 0;
    for (size_t i = 2; i + 2 < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isxdigit(c))
            ++digits;
        else if (!std::isspace(c))
            return false;
    }
    return digits > 0 && digits % 2 == 0;
}

// "Wrote 3 of 4 bytes.", "Read 3 of 4 bytes.": the counts as signed numbers.
std::string countText(const char* verb, uint32_t done, uint32_t total)
{
    return textutil::format("%s %d of %d bytes.", verb, int(done), int(total));
}

} // namespace

// ---- commands with a generic response only

bool FlashEraseAll::parseArgs()
{
    if (argCount() != 1 && argCount() != 2)
        return false;
    m_memoryId = 0;
    return argCount() == 1 || parseLenient(arg(1), &m_memoryId);
}

void FlashEraseAll::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FlashEraseAll, 0, { m_memoryId });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool FlashEraseRegion::parseArgs()
{
    if (argCount() != 3)
        return false;
    if (!parseLenient(arg(1), &m_startAddress))
        return false;
    if (!parseLenient(arg(2), &m_byteCount))
        return false;
    return true;
}

void FlashEraseRegion::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FlashEraseRegion, 0, { m_startAddress, m_byteCount });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

void FlashEraseAllUnsecure::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FlashEraseAllUnsecure, 0, {});
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool FillMemory::parseArgs()
{
    if (argCount() != 4 && argCount() != 5)
        return false;
    if (!parseUnsigned(arg(1), &m_startAddress) || !parseUnsigned(arg(2), &m_byteCount)
        || !parseUnsigned(arg(3), &m_patternWord))
        return false;
    if (argCount() == 5) {
        const std::string unit = arg(4);
        if (unit == "byte") {
            const uint32_t b = m_patternWord & 0xFF;
            m_patternWord = b | (b << 8) | (b << 16) | (b << 24);
        } else if (unit == "short") {
            const uint32_t s = m_patternWord & 0xFFFF;
            m_patternWord = s | (s << 16);
        } else if (unit != "word") {
            return false;
        }
    }
    return true;
}

void FillMemory::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FillMemory, 0, { m_startAddress, m_byteCount, m_patternWord });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool FlashSecurityDisable::parseArgs()
{
    if (argCount() != 2)
        return false;
    const std::string key = arg(1);
    if (key.size() != 16)
        return false;
    m_keyLow = hex16(key.substr(0, 8));
    m_keyHigh = hex16(key.substr(8, 8));
    return true;
}

void FlashSecurityDisable::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FlashSecurityDisable, 0, { m_keyLow, m_keyHigh });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool Call::parseArgs()
{
    if (argCount() != 3)
        return false;
    if (!parseLenient(arg(1), &m_callAddress))
        return false;
    if (!parseLenient(arg(2), &m_argumentWord))
        return false;
    return true;
}

void Call::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_Call, 0, { m_callAddress, m_argumentWord });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool FlashProgramOnce::parseArgs()
{
    if (argCount() != 4)
        return false;
    if (!parseLenient(arg(1), &m_index))
        return false;
    if (!parseLenient(arg(2), &m_byteCount))
        return false;
    if (m_byteCount != 4 && m_byteCount != 8)
        return false;
    const std::string data = arg(3);
    if ((data.size() != 8 && data.size() != 16) || (m_byteCount == 8 && data.size() != 16))
        return false;
    m_dataLow = hex16(data.substr(0, 8));
    m_dataHigh = m_byteCount == 8 ? hex16(data.substr(8, 8)) : 0;
    return true;
}

void FlashProgramOnce::sendTo(Packetizer& packetizer)
{
    if (m_byteCount == 8) {
        CommandPacket cmdPacket(
            kCommandTag_FlashProgramOnce, 0, { m_index, m_byteCount, m_dataLow, m_dataHigh });
        processResponse(cmdPacket.sendCommandGetResponse(packetizer));
    } else {
        CommandPacket cmdPacket(kCommandTag_FlashProgramOnce, 0, { m_index, m_byteCount, m_dataLow });
        processResponse(cmdPacket.sendCommandGetResponse(packetizer));
    }
}

bool ConfigureQuadSpi::parseArgs()
{
    if (argCount() != 3)
        return false;
    if (!parseLenient(arg(1), &m_memoryId))
        return false;
    if (!parseLenient(arg(2), &m_configBlockAddress))
        return false;
    return true;
}

void ConfigureQuadSpi::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_ConfigureQuadSpi, 0, { m_memoryId, m_configBlockAddress });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

// ---- commands whose missing response is accepted

Execute::Execute(uint32_t entryPoint, uint32_t param, uint32_t stackPointer)
    : TaggedCommand("execute")
{
    m_args.push_back(hexArg(entryPoint));
    m_args.push_back(hexArg(param));
    m_args.push_back(hexArg(stackPointer));
    parseArgs();
}

bool Execute::parseArgs()
{
    if (argCount() != 4)
        return false;
    if (!parseLenient(arg(1), &m_jumpAddress))
        return false;
    if (!parseLenient(arg(2), &m_wordArgument))
        return false;
    if (!parseLenient(arg(3), &m_stackpointer))
        return false;
    return true;
}

void Execute::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_Execute, 0, { m_jumpAddress, m_wordArgument, m_stackpointer });
    const ResponsePacket response = cmdPacket.sendCommandGetResponse(packetizer);
    if (response.isNull()) {
        Log::warning("Ignoring missing response from execute command.\n");
        m_responseValues.push_back(kStatus_Success);
        return;
    }
    processResponse(response);
}

void Reset::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_Reset, 0, {});
    const ResponsePacket response = cmdPacket.sendCommandGetResponse(packetizer);
    if (response.isNull()) {
        Log::warning("Ignoring missing response from reset command.\n");
        m_responseValues.push_back(kStatus_Success);
        return;
    }
    processResponse(response);
}

// ---- commands that send a data phase

WriteMemory::WriteMemory(uint32_t address, std::vector<uint8_t> data)
    : TaggedCommand("write-memory")
    , m_startAddress(address)
    , m_data(std::move(data))
{
    m_args.push_back(hexArg(address));
}

WriteMemory::WriteMemory(uint32_t address, const MemorySegmentSource& segment)
    : TaggedCommand("write-memory")
    , m_segment(&segment)
    , m_startAddress(address)
{
    m_args.push_back(hexArg(address));
}

bool WriteMemory::parseArgs()
{
    if (argCount() != 3 && argCount() != 4)
        return false;
    if (!parseLenient(arg(1), &m_startAddress))
        return false;
    m_fileOrData = arg(2);
    if (isHexDataText(m_fileOrData) && !isWellFormedHexText(m_fileOrData))
        return false;
    if (argCount() == 4)
        if (!parseLenient(arg(3), &m_count))
            return false;
    return true;
}

void WriteMemory::sendTo(Packetizer& packetizer)
{
    std::unique_ptr<DataProducer> producer;
    if (m_segment) {
        producer = std::make_unique<SegmentDataProducer>(*m_segment);
    } else if (isHexDataText(m_fileOrData)) {
        auto hex = std::make_unique<HexDataProducer>();
        if (hex->loadHexText(m_fileOrData) == 0)
            return;
        producer = std::move(hex);
    } else if (!m_data.empty()) {
        producer = std::make_unique<HexDataProducer>(m_data);
    } else {
        auto file = std::make_unique<FileDataProducer>();
        if (!file->openFile(m_fileOrData, m_count))
            return;
        producer = std::move(file);
    }
    const uint32_t size = producer->dataSize();

    CommandPacket cmdPacket(kCommandTag_WriteMemory, kCommandFlag_HasDataPhase, { m_startAddress, size });
    if (!processResponse(cmdPacket.sendCommandGetResponse(packetizer))) {
        m_responseText = countText("Wrote", 0, size);
        return;
    }
    // Only the final status stays at the end of the list.
    if (!m_responseValues.empty())
        m_responseValues.pop_back();

    DataPacket dataPacket(producer.get());
    uint32_t bytesWritten = 0;
    processResponse(dataPacket.sendTo(packetizer, &bytesWritten));
    m_responseText = countText("Wrote", bytesWritten, size);
}

bool ReceiveSbFile::parseArgs()
{
    if (argCount() != 2)
        return false;
    m_file = arg(1);
    return true;
}

void ReceiveSbFile::sendTo(Packetizer& packetizer)
{
    FileDataProducer producer;
    if (!producer.openFile(m_file, 0))
        return;
    const uint32_t size = producer.dataSize();

    CommandPacket cmdPacket(kCommandTag_ReceiveSbFile, kCommandFlag_HasDataPhase, { size });
    if (!processResponse(cmdPacket.sendCommandGetResponse(packetizer))) {
        m_responseText = countText("Wrote", 0, size);
        return;
    }
    if (!m_responseValues.empty())
        m_responseValues.pop_back();

    packetizer.setAbortEnabled(true);
    DataPacket dataPacket(&producer);
    uint32_t bytesWritten = 0;
    processResponse(dataPacket.sendTo(packetizer, &bytesWritten));
    packetizer.setAbortEnabled(false);
    m_responseText = countText("Wrote", bytesWritten, size);
}

// ---- commands that receive a data phase

ReadMemory::ReadMemory(uint32_t address, uint32_t count, DataConsumer& consumer)
    : TaggedCommand("read-memory")
    , m_consumer(&consumer)
    , m_startAddress(address)
    , m_byteCount(count)
{
    m_args.push_back(hexArg(address));
    m_args.push_back(hexArg(count));
}

bool ReadMemory::parseArgs()
{
    if (argCount() != 3 && argCount() != 4)
        return false;
    if (!parseUnsigned(arg(1), &m_startAddress) || !parseUnsigned(arg(2), &m_byteCount))
        return false;
    if (argCount() == 4)
        m_dataFile = arg(3);
    return true;
}

bool ReadMemory::processReadMemoryResponse(const ResponsePacket& packet)
{
    return processDataPhaseResponse(packet, kCommandTag_ReadMemoryResponse, "kCommandTag_ReadMemoryResponse",
                                    kCommandTag_ReadMemory);
}

namespace {

// Runs the incoming data phase that a successful read response opened; returns the bytes
// the consumer received. A target that announces more than was asked for is followed only as
// far as the count asked for: what it sends beyond comes where the final response should.
uint32_t receiveData(Packetizer& packetizer, DataConsumer& consumer, const ResponsePacket& response,
    uint32_t requested, ResponsePacket* finalResponse)
{
    uint32_t toCome = response.parameter(1);
    if (toCome > requested) {
        Log::warning("The target announces %u bytes where %u were asked for: only those are read.\n", toCome,
            requested);
        toCome = requested;
    }
    uint32_t received = 0;
    DataPacket dataPacket(&consumer);
    *finalResponse = dataPacket.receiveFrom(packetizer, &toCome, &received);
    return received;
}

// Where an incoming data phase puts its bytes: a consumer the caller keeps, the output file
// (through a temporary file, see FileDataConsumer), or the hexadecimal dump.
struct ReadTarget {
    std::unique_ptr<DataConsumer> owned;
    DataConsumer* consumer = nullptr;
    FileDataConsumer* file = nullptr;

    // A consumer of the caller's own, else the output file, else the dump.
    bool open(DataConsumer* given, const std::string& dataFile, FILE* dumpStream)
    {
        if (given) {
            consumer = given;
            return true;
        }
        if (dataFile.empty()) {
            owned = std::make_unique<StdOutDataConsumer>(dumpStream);
            consumer = owned.get();
            return true;
        }
        auto output = std::make_unique<FileDataConsumer>();
        if (!output->openFile(dataFile))
            return false;
        file = output.get();
        consumer = output.get();
        owned = std::move(output);
        return true;
    }

    // The output file takes its name only when every byte asked for arrived with a success
    // status and was written; a file that cannot be written turns the outcome into a failure.
    void settle(uint32_vector_t& values, uint32_t bytesRead, uint32_t byteCount)
    {
        if (!file)
            return;
        const bool complete = !values.empty() && values[0] == kStatus_Success && bytesRead == byteCount;
        if (!complete) {
            file->discard();
            return;
        }
        if (!file->commit())
            values[0] = kStatus_Fail;
    }
};

} // namespace

void ReadMemory::sendTo(Packetizer& packetizer)
{
    ReadTarget target;
    if (!target.open(m_consumer, m_dataFile, m_dumpStream))
        return;
    CommandPacket cmdPacket(kCommandTag_ReadMemory, 0, { m_startAddress, m_byteCount });
    const ResponsePacket response = cmdPacket.sendCommandGetResponse(packetizer);
    uint32_t bytesRead = 0;
    if (processReadMemoryResponse(response)) {
        ResponsePacket finalResponse;
        bytesRead = receiveData(packetizer, *target.consumer, response, m_byteCount, &finalResponse);
        processResponse(finalResponse);
    }
    target.settle(m_responseValues, bytesRead, m_byteCount);
    m_responseValues.push_back(bytesRead);
    m_responseText = countText("Read", bytesRead, m_byteCount);
}

bool FlashReadResource::parseArgs()
{
    if (argCount() != 4 && argCount() != 5)
        return false;
    if (!parseLenient(arg(1), &m_startAddress))
        return false;
    if (!parseLenient(arg(2), &m_byteCount))
        return false;
    if (!parseLenient(arg(3), &m_option))
        return false;
    if (argCount() == 5)
        m_dataFile = arg(4);
    return true;
}

bool FlashReadResource::processReadResourceResponse(const ResponsePacket& packet)
{
    return processDataPhaseResponse(packet, kCommandTag_FlashReadResourceResponse,
                                    "kCommandTag_FlashReadResourceResponse", kCommandTag_FlashReadResource);
}

void FlashReadResource::sendTo(Packetizer& packetizer)
{
    ReadTarget target;
    if (!target.open(nullptr, m_dataFile, m_dumpStream))
        return;
    CommandPacket cmdPacket(kCommandTag_FlashReadResource, 0, { m_startAddress, m_byteCount, m_option });
    const ResponsePacket response = cmdPacket.sendCommandGetResponse(packetizer);
    uint32_t bytesRead = 0;
    if (processReadResourceResponse(response)) {
        ResponsePacket finalResponse;
        bytesRead = receiveData(packetizer, *target.consumer, response, m_byteCount, &finalResponse);
        processResponse(finalResponse);
    }
    target.settle(m_responseValues, bytesRead, m_byteCount);
    m_responseValues.push_back(bytesRead);
    m_responseText = countText("Read", bytesRead, m_byteCount);
}

bool FlashReadOnce::parseArgs()
{
    if (argCount() != 3)
        return false;
    if (!parseLenient(arg(1), &m_index))
        return false;
    if (!parseLenient(arg(2), &m_byteCount))
        return false;
    return m_byteCount == 4 || m_byteCount == 8;
}

bool FlashReadOnce::processReadOnceResponse(const ResponsePacket& packet)
{
    bool result = false;
    if (!checkTypedResponse(packet, kCommandTag_FlashReadOnceResponse, "kCommandTag_FlashReadOnceResponse",
            kCommandTag_FlashReadOnce, true, &result))
        return result;
    const uint32_t status = packet.parameter(0);
    m_responseValues.push_back(status);
    if (status != kStatus_Success)
        return false;
    Log::debug("Successful response to command '%s'\n", name().c_str());
    for (uint32_t i = 1; i < packet.parameterCount(); ++i)
        m_responseValues.push_back(packet.parameter(i));
    return true;
}

void FlashReadOnce::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_FlashReadOnce, 0, { m_index, m_byteCount });
    processReadOnceResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

} // namespace blfwk
