#pragma once
// Data phases: producers feed an outgoing phase, consumers drain an incoming one, and
// DataPacket runs the phase over a packetizer in packets of at most 32 bytes.

#include "blfwk/command.h"

#include <cstdio>
#include <string>
#include <vector>

namespace blfwk {

class DataProducer {
public:
    virtual bool hasMoreData() const = 0;
    virtual uint32_t dataSize() const = 0;
    virtual uint32_t readData(uint8_t* data, uint32_t maxCount) = 0;
    virtual ~DataProducer() = default;
};

class DataConsumer {
public:
    virtual void writeData(const uint8_t* data, uint32_t length) = 0;
    virtual void finish() = 0;
    virtual ~DataConsumer() = default;
};

// Something in memory that a write can take its bytes from.
class MemorySegmentSource {
public:
    virtual ~MemorySegmentSource() = default;
    virtual uint32_t length() const = 0;
    // Copies up to maxCount bytes from offset; returns the count copied.
    virtual uint32_t copyData(uint8_t* data, uint32_t offset, uint32_t maxCount) const = 0;
};

class FileDataProducer : public DataProducer {
public:
    FileDataProducer() = default;
    ~FileDataProducer() override;
    FileDataProducer(const FileDataProducer&) = delete;
    FileDataProducer& operator=(const FileDataProducer&) = delete;

    // size 0: the whole file. Logs and returns false when the file cannot be opened, is not
    // an ordinary file, is empty, does not fit a 32-bit size or holds less than size bytes.
    bool openFile(const std::string& path, uint32_t size);

    bool hasMoreData() const override;
    uint32_t dataSize() const override { return m_fileSize; }
    // Never reads past the size the file was opened with.
    uint32_t readData(uint8_t* data, uint32_t maxCount) override;

private:
    FILE* m_filePointer = nullptr;
    uint32_t m_fileSize = 0;
    uint32_t m_delivered = 0;
};

class HexDataProducer : public DataProducer {
public:
    HexDataProducer() = default;
    explicit HexDataProducer(std::vector<uint8_t> data)
        : m_data(std::move(data))
    { }

    // Keeps the hexadecimal digits of text and reads them two by two (a last odd digit is a
    // byte of its own). Returns the number of bytes.
    uint32_t loadHexText(const std::string& text);
    const std::vector<uint8_t>& data() const { return m_data; }

    bool hasMoreData() const override { return m_offset < m_data.size(); }
    uint32_t dataSize() const override { return uint32_t(m_data.size()); }
    uint32_t readData(uint8_t* data, uint32_t maxCount) override;

private:
    std::vector<uint8_t> m_data;
    uint32_t m_offset = 0;
};

class SegmentDataProducer : public DataProducer {
public:
    explicit SegmentDataProducer(const MemorySegmentSource& segment)
        : m_segment(segment)
    { }
    bool hasMoreData() const override { return m_offset < m_segment.length(); }
    uint32_t dataSize() const override { return m_segment.length(); }
    uint32_t readData(uint8_t* data, uint32_t maxCount) override;

private:
    const MemorySegmentSource& m_segment;
    uint32_t m_offset = 0;
};

// Writes into a temporary file beside the target, which takes the target's name only on
// commit(): a read that fails or is refused leaves an existing file as it was.
class FileDataConsumer : public DataConsumer {
public:
    FileDataConsumer() = default;
    ~FileDataConsumer() override; // discards what was not committed
    FileDataConsumer(const FileDataConsumer&) = delete;
    FileDataConsumer& operator=(const FileDataConsumer&) = delete;

    // Creates the temporary file; logs and returns false on failure.
    bool openFile(const std::string& path);
    void writeData(const uint8_t* data, uint32_t length) override;
    void finish() override { }
    // True once a write failed (a full disk): the file cannot be committed.
    bool failed() const { return m_failed; }
    // Flushes, closes and renames the temporary file onto the target. Logs and returns false
    // when any of it fails (the temporary file is then removed).
    bool commit();
    void discard();

private:
    FILE* m_filePointer = nullptr;
    std::string m_path; // the target
    std::string m_temporaryPath;
    bool m_failed = false;
};

// Keeps the bytes in memory, for a caller that looks at what was read (a read-back compared
// with what was written).
class MemoryDataConsumer : public DataConsumer {
public:
    // expected: the count the caller asks for, reserved up front.
    explicit MemoryDataConsumer(uint32_t expected = 0) { m_data.reserve(expected); }
    void writeData(const uint8_t* data, uint32_t length) override { m_data.insert(m_data.end(), data, data + length); }
    void finish() override { }
    const std::vector<uint8_t>& data() const { return m_data; }

private:
    std::vector<uint8_t> m_data;
};

// Prints the bytes as hexadecimal, 16 to a line.
class StdOutDataConsumer : public DataConsumer {
public:
    explicit StdOutDataConsumer(FILE* stream = stdout)
        : m_stream(stream)
    { }
    void writeData(const uint8_t* data, uint32_t length) override;
    void finish() override;

private:
    FILE* m_stream;
    uint32_t m_currentCount = 1;
};

class DataPacket {
public:
    static constexpr uint32_t kPacketSize = 32;

    explicit DataPacket(DataProducer* dataProducer);
    explicit DataPacket(DataConsumer* dataConsumer);

    // Sends the producer's data; *bytesWritten counts what went out. Returns the final
    // response, or a null packet when it could not be read.
    ResponsePacket sendTo(Packetizer& packetizer, uint32_t* bytesWritten);
    // Receives *byteCount bytes (counted down as they arrive) into the consumer, then reads
    // the final response. *bytesReceived, when given, counts what was delivered.
    ResponsePacket receiveFrom(
        Packetizer& packetizer, uint32_t* byteCount, uint32_t* bytesReceived = nullptr);

private:
    DataProducer* m_producer = nullptr;
    DataConsumer* m_consumer = nullptr;
    uint8_t m_packet[kPacketSize] = {};
};

} // namespace blfwk
