// libFuzzer target: the serial framing reader fed from an in-memory byte stream. The input is
// what a peer sends; the host reads packets of both kinds from it, then writes one packet
// (which reads its acknowledgement) and, when a start byte is left, pings. Any read outside a
// buffer, a packet longer than 32 bytes or a pointer outside the packetizer's buffer is a crash.
#include "blfwk/logger.h"
#include "blfwk/serial_packetizer.h"
#include "blfwk/uart_peripheral.h"

#include "platform/clock.h"

#include <cstdlib>
#include <cstring>

namespace {

// A port that is never read: the peripheral below serves the bytes itself.
class IdlePort : public platform::SerialPort {
public:
    int read(uint8_t*, size_t, int, int) override { return 0; }
    int write(const uint8_t*, size_t length) override { return int(length); }
};

// The peer's bytes, in order; once they are gone every read fails at once, so no wait runs
// out its time limit.
class StreamPeripheral : public blfwk::UartPeripheral {
public:
    StreamPeripheral(const uint8_t* data, size_t size)
        : UartPeripheral(std::make_unique<IdlePort>())
        , m_data(data)
        , m_size(size)
    { }
    blfwk::status_t read(uint8_t* buffer, uint32_t requested, int32_t* actual, uint32_t) override
    {
        const size_t left = m_size - m_at;
        if (left == 0) {
            if (actual)
                *actual = 0;
            return blfwk::kStatus_Fail;
        }
        const size_t n = requested < left ? requested : left;
        std::memcpy(buffer, m_data + m_at, n);
        m_at += n;
        if (actual)
            *actual = int32_t(n);
        return n < requested ? blfwk::kStatus_Timeout : blfwk::kStatus_Success;
    }
    blfwk::status_t write(const uint8_t*, uint32_t) override { return blfwk::kStatus_Success; }
    bool startByteLeft() const { return std::memchr(m_data + m_at, 0x5A, m_size - m_at) != nullptr; }
    bool exhausted() const { return m_at == m_size; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

class NullLogger : public blfwk::Logger {
public:
    void output(const char*) override { }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::setPauseHook([](platform::Milliseconds) {});
    static NullLogger logger;
    logger.setFilterLevel(blfwk::Logger::Trace); // the byte traces are formatted too
    blfwk::Log::setLogger(&logger);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto* peripheral = new StreamPeripheral(data, size);
    blfwk::SerialPacketizer packetizer(peripheral, 50);
    for (int i = 0; i < 16 && !peripheral->exhausted(); ++i) {
        uint8_t* packet = nullptr;
        uint32_t length = 0;
        const auto type = (i & 1) ? blfwk::PacketType::Data : blfwk::PacketType::Command;
        if (packetizer.readPacket(&packet, &length, type) != blfwk::kStatus_Success)
            continue;
        if (length > 32 || !packet)
            std::abort();
        volatile uint8_t sum = 0;
        for (uint32_t k = 0; k < length; ++k)
            sum = uint8_t(sum + packet[k]); // reads every byte handed out
        if (i == 4)
            packetizer.abortPacket();
    }
    const uint8_t command[12] = { 0x07, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0 };
    packetizer.writePacket(command, sizeof command, blfwk::PacketType::Command);
    if (peripheral->startByteLeft()) {
        blfwk::PingResponse response {};
        packetizer.ping(0, 0, &response, 0);
    }
    packetizer.finalize();
    return 0;
}
