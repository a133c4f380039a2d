#include "blfwk/data_phase.h"

#include "blfwk/logger.h"

#include "platform/files.h"
#include "textutil/hex_digit.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace blfwk {

FileDataProducer::~FileDataProducer()
{
    if (m_filePointer)
        std::fclose(m_filePointer);
}

bool FileDataProducer::openFile(const std::string& path, uint32_t size)
{
    // A folder opens on some systems and not on others: it is refused the same way on all.
    std::error_code folderCheck;
    if (std::filesystem::is_directory(path, folderCheck)) {
        Log::error("Error: input data file '%s' is not a file\n", path.c_str());
        return false;
    }
    m_filePointer = std::fopen(path.c_str(), "rb");
    if (!m_filePointer) {
        Log::error("Error: cannot open input data file '%s'\n", path.c_str());
        return false;
    }
    // A folder opens too, and has no size worth sending; an empty file has nothing to send.
    struct stat info { };
    const char* refusal = nullptr;
    if (::fstat(fileno(m_filePointer), &info) != 0 || !S_ISREG(info.st_mode))
        refusal = "is not a file";
    else if (info.st_size == 0)
        refusal = "is empty";
    else if (uint64_t(info.st_size) > 0xFFFFFFFFull && size == 0)
        refusal = "is larger than 4 GiB";
    else if (size != 0 && uint64_t(info.st_size) < size)
        refusal = "holds fewer bytes than the count given";
    if (refusal) {
        Log::error("Error: input data file '%s' %s\n", path.c_str(), refusal);
        std::fclose(m_filePointer);
        m_filePointer = nullptr;
        return false;
    }
    m_fileSize = size ? size : uint32_t(info.st_size);
    Log::info("Preparing to send %d (0x%x) bytes to the target.\n", int(m_fileSize), m_fileSize);
    return true;
}

bool FileDataProducer::hasMoreData() const
{
    return m_filePointer && m_fileSize && m_delivered < m_fileSize && !std::feof(m_filePointer)
        && !std::ferror(m_filePointer);
}

uint32_t FileDataProducer::readData(uint8_t* data, uint32_t maxCount)
{
    if (!maxCount || !hasMoreData())
        return 0;
    // The last packet stops at the size the command announced.
    const uint32_t wanted = std::min(maxCount, m_fileSize - m_delivered);
    const uint32_t got = uint32_t(std::fread(data, 1, wanted, m_filePointer));
    m_delivered += got;
    return got;
}

uint32_t HexDataProducer::loadHexText(const std::string& text)
{
    // A firmware image arrives as one text of over a million digits: convert by hand.
    m_data.clear();
    m_data.reserve(text.size() / 2);
    m_offset = 0;
    int high = -1;
    for (char c : text) {
        const int value = textutil::hexDigitValue(c);
        if (value < 0)
            continue;
        if (high < 0) {
            high = value;
        } else {
            m_data.push_back(uint8_t(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0)
        m_data.push_back(uint8_t(high)); // a last single digit is a byte of its own
    return uint32_t(m_data.size());
}

uint32_t HexDataProducer::readData(uint8_t* data, uint32_t maxCount)
{
    const uint32_t count = std::min<uint32_t>(maxCount, uint32_t(m_data.size()) - m_offset);
    std::memcpy(data, m_data.data() + m_offset, count);
    m_offset += count;
    return count;
}

uint32_t SegmentDataProducer::readData(uint8_t* data, uint32_t maxCount)
{
    const uint32_t count = m_segment.copyData(data, m_offset, maxCount);
    m_offset += count;
    return count;
}

FileDataConsumer::~FileDataConsumer()
{
    discard();
}

bool FileDataConsumer::openFile(const std::string& path)
{
    discard();
    m_filePointer = platform::openReplacementFile(path, m_path, m_temporaryPath);
    if (!m_filePointer) {
        Log::error("Error: cannot open output data file '%s'\n", path.c_str());
        return false;
    }
    m_failed = false;
    return true;
}

void FileDataConsumer::writeData(const uint8_t* data, uint32_t length)
{
    if (!m_filePointer || !length || m_failed)
        return;
    if (std::fwrite(data, 1, length, m_filePointer) != length) {
        Log::error("Error: cannot write output data file '%s': %s\n", m_path.c_str(), std::strerror(errno));
        m_failed = true;
    }
}

bool FileDataConsumer::commit()
{
    if (!m_filePointer)
        return false;
    bool written = !m_failed && std::fflush(m_filePointer) == 0
        && (m_temporaryPath.empty() || platform::syncFile(m_filePointer));
    const int error = errno;
    written = std::fclose(m_filePointer) == 0 && written;
    m_filePointer = nullptr;
    if (written && m_temporaryPath.empty())
        return true; // written directly
    if (written && platform::replaceFile(m_temporaryPath, m_path)) {
        m_temporaryPath.clear();
        return true;
    }
    if (!m_failed)
        Log::error("Error: cannot write output data file '%s': %s\n", m_path.c_str(),
            std::strerror(written ? errno : error));
    m_failed = true;
    discard();
    return false;
}

void FileDataConsumer::discard()
{
    if (m_filePointer)
        std::fclose(m_filePointer);
    m_filePointer = nullptr;
    if (!m_temporaryPath.empty())
        platform::deleteFile(m_temporaryPath);
    m_temporaryPath.clear();
}

void StdOutDataConsumer::writeData(const uint8_t* data, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        std::fprintf(m_stream, "%02x", data[i]);
        std::fputs(m_currentCount % 16 == 0 ? "\n" : " ", m_stream);
        ++m_currentCount;
    }
}

void StdOutDataConsumer::finish()
{
    if ((m_currentCount - 1) % 16 != 0)
        std::fputs("\n", m_stream);
}

DataPacket::DataPacket(DataProducer* dataProducer)
    : m_producer(dataProducer)
{ }

DataPacket::DataPacket(DataConsumer* dataConsumer)
    : m_consumer(dataConsumer)
{ }

namespace {
ResponsePacket readFinalResponse(Packetizer& packetizer)
{
    uint8_t* packet = nullptr;
    uint32_t length = 0;
    if (packetizer.readPacket(&packet, &length, PacketType::Command) != kStatus_Success)
        return {};
    return { packet, length };
}
} // namespace

ResponsePacket DataPacket::sendTo(Packetizer& packetizer, uint32_t* bytesWritten)
{
    *bytesWritten = 0;
    if (!m_producer)
        return {};
    if (!m_producer->hasMoreData())
        packetizer.pump();
    while (m_producer->hasMoreData() && *bytesWritten < m_producer->dataSize()) {
        const uint32_t count = m_producer->readData(m_packet, kPacketSize);
        if (count == 0)
            continue; // hasMoreData decides when the producer is done
        const status_t status = packetizer.writePacket(m_packet, count, PacketType::Data);
        if (status != kStatus_Success) {
            Log::error("Data phase write aborted by status 0x%x %s\n", uint32_t(status),
                statusMessage(status).c_str());
            break;
        }
        *bytesWritten += count;
    }
    return readFinalResponse(packetizer);
}

ResponsePacket DataPacket::receiveFrom(Packetizer& packetizer, uint32_t* byteCount, uint32_t* bytesReceived)
{
    if (bytesReceived)
        *bytesReceived = 0;
    if (!m_consumer)
        return {};
    if (*byteCount == 0)
        packetizer.pump();
    while (*byteCount > 0) {
        packetizer.pump();
        uint8_t* data = nullptr;
        uint32_t length = 0;
        const status_t status = packetizer.readPacket(&data, &length, PacketType::Data);
        if (status != kStatus_Success) {
            Log::info("Read data packet error. Sending ACK.\n");
            m_consumer->finish();
            packetizer.sync();
            return {};
        }
        if (length == 0) {
            Log::info("Data phase aborted by sender\n");
            break;
        }
        // A device that sends more than it announced is not followed past the announcement.
        const uint32_t taken = std::min(length, *byteCount);
        m_consumer->writeData(data, taken);
        *byteCount -= taken;
        if (bytesReceived)
            *bytesReceived += taken;
    }
    m_consumer->finish();
    return readFinalResponse(packetizer);
}

} // namespace blfwk
