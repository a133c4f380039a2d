#pragma once
// The thread that delivers device-change events. It waits on a set of sources (each a file
// descriptor that becomes ready when something may have changed), asks the ready ones for
// their events in source order, and hands each event to the callback in turn.

#include "platform/device_events.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::linux_backend {

class EventSource {
public:
    virtual ~EventSource() = default;
    virtual int fd() const = 0;
    virtual short pollEvents() const = 0; // POLLIN, POLLPRI, ...
    // Called on the loop's thread when fd() is ready: appends what happened since the last call.
    virtual void collect(std::vector<DeviceEvent>& events) = 0;
};

class EventLoop {
public:
    EventLoop() = default;
    ~EventLoop() { stop(); }
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Stops a running loop, then starts delivering events of these sources. False when the
    // thread cannot be set up (nothing runs then), and when called from the callback.
    bool start(std::vector<std::unique_ptr<EventSource>> sources, DeviceEventCallback callback);

    // When it returns, the callback is not running and will not be called again. Called from
    // the callback itself it only ends the delivery; the thread is joined by the next start()
    // or stop() from another thread, or by the destructor.
    void stop();
    // True once stop() has been asked for (from any thread).
    bool stopRequested() const { return m_stopping.load(); }

private:
    void run(std::vector<std::unique_ptr<EventSource>> sources, DeviceEventCallback callback, int wakeFd);

    std::mutex m_mutex; // serialises start and stop
    std::thread m_thread;
    std::atomic<bool> m_stopping { false };
    std::atomic<std::thread::id> m_loopThread {}; // the delivering thread while it runs
    int m_wakeFd = -1;
};

} // namespace platform::linux_backend
