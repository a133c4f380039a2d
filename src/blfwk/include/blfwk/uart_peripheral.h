#pragma once
// The peripheral that moves raw bytes over a serial port. A read of n bytes waits at most
// 10 + 10 * n ms in all and gives up when a second passes between two bytes; every byte is
// traced at the Trace level.

#include "blfwk/packetizer.h"

#include "platform/serial_port.h"

#include <memory>

namespace blfwk {

class UartPeripheral : public Peripheral {
public:
    static constexpr int kReadIntervalMs = 1000;
    static constexpr int kReadTotalBaseMs = 10;
    static constexpr int kReadTotalPerByteMs = 10;

    // Opens the port through the platform's serial service and drains what waits on it;
    // throws std::runtime_error when it cannot be opened.
    UartPeripheral(const char* port, long speed);
    // Over a port already open (tests run it over an in-memory byte pipe); drains it too.
    explicit UartPeripheral(std::unique_ptr<platform::SerialPort> port);
    ~UartPeripheral() override = default;
    UartPeripheral(const UartPeripheral&) = delete;
    UartPeripheral& operator=(const UartPeripheral&) = delete;

    // 0 when every requested byte arrived, kStatus_Timeout otherwise (a failed port included).
    // timeoutMs is not used: the port's own limits apply.
    status_t read(
        uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t timeoutMs) override;
    // 0 when every byte was written, kStatus_Fail otherwise.
    status_t write(const uint8_t* buffer, uint32_t byteCount) override;

    // The open port, for the bus bridge that talks through it.
    platform::SerialPort* port() const { return m_port.get(); }

private:
    void drain();

    std::unique_ptr<platform::SerialPort> m_port;
    uint8_t m_scratch[16] = {};
};

} // namespace blfwk
