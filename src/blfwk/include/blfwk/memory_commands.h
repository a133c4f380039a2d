#pragma once
// The commands that erase, write, read, fill and program the target's memory, run code on it
// and reset it.

#include "blfwk/command.h"
#include "blfwk/data_phase.h"

namespace blfwk {

// Commands that only send a packet and take the generic response.
class FlashEraseAll : public TaggedCommand<kCommandTag_FlashEraseAll> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_memoryId = 0;
};

class FlashEraseRegion : public TaggedCommand<kCommandTag_FlashEraseRegion> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_startAddress = 0;
    uint32_t m_byteCount = 0;
};

class FlashEraseAllUnsecure : public TaggedCommand<kCommandTag_FlashEraseAllUnsecure> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override { return argCount() == 1; }
    void sendTo(Packetizer& packetizer) override;
};

class FillMemory : public TaggedCommand<kCommandTag_FillMemory> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_startAddress = 0;
    uint32_t m_byteCount = 0;
    uint32_t m_patternWord = 0;
};

class FlashSecurityDisable : public TaggedCommand<kCommandTag_FlashSecurityDisable> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_keyLow = 0;
    uint32_t m_keyHigh = 0;
};

class Call : public TaggedCommand<kCommandTag_Call> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_callAddress = 0;
    uint32_t m_argumentWord = 0;
};

class FlashProgramOnce : public TaggedCommand<kCommandTag_FlashProgramOnce> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_index = 0;
    uint32_t m_byteCount = 0;
    uint32_t m_dataLow = 0;
    uint32_t m_dataHigh = 0;
};

class ConfigureQuadSpi : public TaggedCommand<kCommandTag_ConfigureQuadSpi> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_memoryId = 0;
    uint32_t m_configBlockAddress = 0;
};

// A missing response is taken as success: the target may be gone before it answers.
class Execute : public TaggedCommand<kCommandTag_Execute> {
public:
    using TaggedCommand::TaggedCommand;
    // Built directly with the three values, as the connection's convenience operation does.
    Execute(uint32_t entryPoint, uint32_t param, uint32_t stackPointer);
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    uint32_t m_jumpAddress = 0;
    uint32_t m_wordArgument = 0;
    uint32_t m_stackpointer = 0;
};

class Reset : public TaggedCommand<kCommandTag_Reset> {
public:
    using TaggedCommand::TaggedCommand;
    Reset()
        : TaggedCommand("reset")
    { }
    bool parseArgs() override { return argCount() == 1; }
    void sendTo(Packetizer& packetizer) override;
};

class WriteMemory : public TaggedCommand<kCommandTag_WriteMemory> {
public:
    using TaggedCommand::TaggedCommand;
    // The data-bytes and memory-segment forms, built directly.
    WriteMemory(uint32_t address, std::vector<uint8_t> data);
    WriteMemory(uint32_t address, const MemorySegmentSource& segment);
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    std::string m_fileOrData;
    const MemorySegmentSource* m_segment = nullptr;
    uint32_t m_startAddress = 0;
    uint32_t m_count = 0;
    std::vector<uint8_t> m_data;
};

class ReceiveSbFile : public TaggedCommand<kCommandTag_ReceiveSbFile> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

private:
    std::string m_file;
};

class ReadMemory : public TaggedCommand<kCommandTag_ReadMemory> {
public:
    using TaggedCommand::TaggedCommand;
    // Built directly: the bytes go to consumer (which the caller keeps) instead of a file or
    // the dump.
    ReadMemory(uint32_t address, uint32_t count, DataConsumer& consumer);
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;
    // The check for the read-memory response that opens the data phase.
    virtual bool processReadMemoryResponse(const ResponsePacket& packet);
    // Where the bytes go as hexadecimal text when no output file is named (standard output).
    void setDumpStream(FILE* stream) { m_dumpStream = stream; }

private:
    FILE* m_dumpStream = stdout;
    DataConsumer* m_consumer = nullptr;
    std::string m_dataFile;
    uint32_t m_startAddress = 0;
    uint32_t m_byteCount = 0;
};

class FlashReadResource : public TaggedCommand<kCommandTag_FlashReadResource> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;
    virtual bool processReadResourceResponse(const ResponsePacket& packet);
    void setDumpStream(FILE* stream) { m_dumpStream = stream; }

private:
    FILE* m_dumpStream = stdout;
    std::string m_dataFile;
    uint32_t m_startAddress = 0;
    uint32_t m_byteCount = 0;
    uint32_t m_option = 0;
};

class FlashReadOnce : public TaggedCommand<kCommandTag_FlashReadOnce> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;
    virtual bool processReadOnceResponse(const ResponsePacket& packet);

private:
    uint32_t m_index = 0;
    uint32_t m_byteCount = 0;
};

} // namespace blfwk
