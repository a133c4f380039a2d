#include "scripted_serial.h"

#include <chrono>

namespace testsupport {

int ScriptedSerialPort::read(uint8_t* buffer, size_t length, int totalMs, int intervalMs)
{
    std::unique_lock<std::mutex> lock(m_line->mutex);
    ++m_line->reads;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
    size_t count = 0;
    while (count < length) {
        if (m_line->gone)
            return count ? int(count) : -1;
        if (!m_line->toHost.empty()) {
            buffer[count++] = m_line->toHost.front();
            m_line->toHost.pop_front();
            continue;
        }
        if (!m_line->waitOutLimits || totalMs <= 0)
            break;
        // The interval limit never comes into play: queued bytes arrive back to back.
        (void)intervalMs;
        if (m_line->arrived.wait_until(lock, deadline) == std::cv_status::timeout && m_line->toHost.empty())
            break;
    }
    return int(count);
}

int ScriptedSerialPort::write(const uint8_t* data, size_t length)
{
    ByteVector bytes(data, data + length);
    std::function<void(const ByteVector&)> peer;
    {
        std::lock_guard<std::mutex> lock(m_line->mutex);
        if (m_line->gone)
            return -1;
        m_line->writes.push_back(bytes);
        peer = m_line->peer;
    }
    if (peer)
        peer(bytes);
    return int(length);
}

} // namespace testsupport
