#pragma once
// Writes with a time limit on a descriptor whose write() may block in the kernel (a
// hidraw node: the report goes out synchronously and cannot be cancelled from user space).
// One thread owns the descriptor and performs the writes, so the caller can stop waiting
// after its limit; a write still in the kernel then finishes unobserved and counts against
// the next write's limit. Header-only so that it can be checked over a pipe.

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::linux_backend {

class TimedWriter {
public:
    struct Result {
        long count = -1; // bytes written, or -1
        int error = 0; // errno of the failure; ETIMEDOUT when the limit passed
    };

    // Takes ownership of fd; it is closed when the writer thread ends.
    explicit TimedWriter(int fd)
        : m_channel(std::make_shared<Channel>())
    {
        m_channel->fd = fd;
        m_thread = std::thread(run, m_channel);
    }

    // Does not wait for a write stuck in the kernel: the thread is left to finish it.
    ~TimedWriter()
    {
        {
            std::lock_guard<std::mutex> lock(m_channel->mutex);
            m_channel->stop = true;
        }
        m_channel->changed.notify_all();
        m_thread.detach();
    }

    TimedWriter(const TimedWriter&) = delete;
    TimedWriter& operator=(const TimedWriter&) = delete;

    // Writes data in one write() call, waiting at most milliseconds (-1: no limit).
    Result write(std::vector<uint8_t> data, int milliseconds)
    {
        Channel& ch = *m_channel;
        const auto deadline = std::chrono::steady_clock::now()
            + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
        std::unique_lock<std::mutex> lock(ch.mutex);
        auto waitFor = [&](auto ready) {
            if (milliseconds < 0) {
                ch.changed.wait(lock, ready);
                return true;
            }
            return ch.changed.wait_until(lock, deadline, ready);
        };
        if (!waitFor([&] { return !ch.pending && !ch.busy; }))
            return { -1, ETIMEDOUT };
        ch.buffer = std::move(data);
        ch.pending = true;
        const uint64_t generation = ++ch.issued;
        ch.changed.notify_all();
        if (!waitFor([&] { return ch.completed >= generation; })) {
            if (ch.pending) { // not started yet: withdraw it
                ch.pending = false;
                ch.buffer.clear();
            }
            return { -1, ETIMEDOUT };
        }
        if (ch.result < 0)
            return { -1, ch.error };
        return { long(ch.result), 0 };
    }

private:
    struct Channel {
        std::mutex mutex;
        std::condition_variable changed;
        int fd = -1;
        bool stop = false;
        bool pending = false; // a request waits for the thread
        bool busy = false; // the thread is inside write()
        uint64_t issued = 0, completed = 0;
        std::vector<uint8_t> buffer;
        ssize_t result = 0;
        int error = 0;
    };

    static void run(std::shared_ptr<Channel> channel)
    {
        std::unique_lock<std::mutex> lock(channel->mutex);
        for (;;) {
            channel->changed.wait(lock, [&] { return channel->stop || channel->pending; });
            if (channel->stop)
                break; // a request not yet started goes with the device
            std::vector<uint8_t> buffer = std::move(channel->buffer);
            const uint64_t generation = channel->issued;
            channel->pending = false;
            channel->busy = true;
            lock.unlock();
            ssize_t n;
            do
                n = ::write(channel->fd, buffer.data(), buffer.size());
            while (n < 0 && errno == EINTR);
            const int error = n < 0 ? errno : 0;
            lock.lock();
            channel->busy = false;
            channel->result = n;
            channel->error = error;
            channel->completed = generation;
            channel->changed.notify_all();
        }
        ::close(channel->fd);
    }

    std::shared_ptr<Channel> m_channel;
    std::thread m_thread;
};

} // namespace platform::linux_backend
