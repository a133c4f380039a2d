#include "linux/event_loop.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform::linux_backend {

bool EventLoop::start(std::vector<std::unique_ptr<EventSource>> sources, DeviceEventCallback callback)
{
    if (m_loopThread.load() == std::this_thread::get_id())
        return false; // the running thread cannot replace itself
    stop();
    std::lock_guard<std::mutex> guard(m_mutex);
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return false;
    m_stopping = false;
    m_wakeFd = wakeFd;
    try {
        m_thread = std::thread(&EventLoop::run, this, std::move(sources), std::move(callback), wakeFd);
    } catch (const std::system_error&) {
        ::close(wakeFd);
        m_wakeFd = -1;
        return false;
    }
    return true;
}

void EventLoop::stop()
{
    if (m_loopThread.load() == std::this_thread::get_id()) {
        m_stopping = true; // inside the callback: the thread ends when it returns
        return;
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_stopping = true;
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
        (void)written; // a full counter wakes the thread just the same
    }
    if (!m_thread.joinable())
        return;
    m_thread.join();
    ::close(m_wakeFd);
    m_wakeFd = -1;
}

void EventLoop::run(
    std::vector<std::unique_ptr<EventSource>> sources, DeviceEventCallback callback, int wakeFd)
{
    m_loopThread = std::this_thread::get_id();
    std::vector<pollfd> fds;
    fds.push_back({ wakeFd, POLLIN, 0 });
    for (const auto& source : sources)
        fds.push_back({ source->fd(), source->pollEvents(), 0 });

    std::vector<DeviceEvent> events;
    while (!m_stopping) {
        for (pollfd& p : fds)
            p.revents = 0;
        int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[0].revents != 0)
            break;
        for (size_t i = 1; i < fds.size() && !m_stopping; ++i) {
            if (fds[i].revents == 0)
                continue;
            bool hasData = (fds[i].revents & (POLLIN | POLLPRI)) != 0;
            if ((fds[i].revents & POLLNVAL) || ((fds[i].revents & POLLHUP) && !hasData)) {
                fds[i].fd = -1; // a source that has ended: poll passes over negative descriptors
                continue;
            }
            events.clear();
            sources[i - 1]->collect(events);
            for (const DeviceEvent& event : events) {
                if (m_stopping)
                    break;
                if (callback)
                    callback(event);
            }
        }
    }
    m_loopThread = std::thread::id();
}

} // namespace platform::linux_backend
