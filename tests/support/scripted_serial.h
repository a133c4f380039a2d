#pragma once
// An in-memory serial line for the serial transports: the bytes the peer has sent wait in a
// queue for the host to read; every write of the host is kept, and a peer function may answer
// it by queueing more bytes. A read with nothing queued waits out its time limit (as a UART
// would) unless told not to, and a "gone" line fails every call.

#include "platform/serial_port.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

using ByteVector = std::vector<uint8_t>;

struct SerialLine {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<uint8_t> toHost;
    std::vector<ByteVector> writes; // each write call of the host, in order
    std::function<void(const ByteVector&)> peer; // called with each write, without the lock held
    bool gone = false;
    bool waitOutLimits = true;
    int reads = 0;

    void send(const ByteVector& bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        toHost.insert(toHost.end(), bytes.begin(), bytes.end());
        arrived.notify_all();
    }
    // Every byte the host wrote, joined.
    ByteVector written()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ByteVector all;
        for (const ByteVector& w : writes)
            all.insert(all.end(), w.begin(), w.end());
        return all;
    }
};

class ScriptedSerialPort : public platform::SerialPort {
public:
    explicit ScriptedSerialPort(std::shared_ptr<SerialLine> line)
        : m_line(std::move(line))
    { }
    int read(uint8_t* buffer, size_t length, int totalMs, int intervalMs) override;
    int write(const uint8_t* data, size_t length) override;

private:
    std::shared_ptr<SerialLine> m_line;
};

// A port over the line, as the serial transports take it.
inline std::unique_ptr<platform::SerialPort> scriptedPort(const std::shared_ptr<SerialLine>& line)
{
    return std::make_unique<ScriptedSerialPort>(line);
}

} // namespace testsupport
