#include "blfwk/uart_peripheral.h"

#include "byte_trace.h"

#include <cstdio>
#include <stdexcept>

namespace blfwk {

UartPeripheral::UartPeripheral(const char* port, long speed)
{
    std::string reason;
    m_port = platform::openSerialPort(port ? port : "", int(speed), &reason);
    if (!m_port) {
        char text[320];
        std::snprintf(text, sizeof text,
            "Error: UartPeripheral() cannot open PC UART port(%s), speed(%d Hz).", port ? port : "",
            int(speed));
        if (!reason.empty())
            Log::debug("%s\n", reason.c_str());
        throw std::runtime_error(text);
    }
    drain();
}

UartPeripheral::UartPeripheral(std::unique_ptr<platform::SerialPort> port)
    : m_port(std::move(port))
{
    if (!m_port)
        throw std::runtime_error("Error: UartPeripheral() has no port.");
    drain();
}

void UartPeripheral::drain()
{
    // Whatever waited on the line before the connection is stale. Bounded, so that a peer
    // that never stops talking cannot hold the open.
    for (int i = 0; i < 4096; ++i)
        if (m_port->read(m_scratch, sizeof m_scratch, 0, 0) <= 0)
            break;
}

status_t UartPeripheral::read(uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    const int totalMs = kReadTotalBaseMs + kReadTotalPerByteMs * int(requestedBytes);
    int count = m_port->read(buffer, requestedBytes, totalMs, kReadIntervalMs);
    if (count < 0)
        count = 0;
    if (actualBytes)
        *actualBytes = count;
    if (Log::traceEnabled())
        traceSerialBytes("<", buffer, count, ">\n");
    return uint32_t(count) < requestedBytes ? kStatus_Timeout : kStatus_Success;
}

status_t UartPeripheral::write(const uint8_t* buffer, uint32_t byteCount)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    if (Log::traceEnabled())
        traceSerialBytes("[", buffer, int(byteCount), "]\n");
    const int written = m_port->write(buffer, byteCount);
    return written == int(byteCount) ? kStatus_Success : kStatus_Fail;
}

} // namespace blfwk
