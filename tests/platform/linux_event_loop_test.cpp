// The event thread: order of delivery, the stop guarantee, restarts, and the mount-table
// watch's bookkeeping.

#include "linux/event_loop.h"
#include "linux/linux_device_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace platform;
using namespace platform::linux_backend;

namespace {

// A source fed through a pipe: 'N' nodes changed, 'A'/'R' arrival/removal of "/<tag>/" where
// the tag is the next byte.
class PipeSource : public EventSource {
public:
    explicit PipeSource(int readFd)
        : m_fd(readFd)
    { }
    ~PipeSource() override { ::close(m_fd); }
    int fd() const override { return m_fd; }
    short pollEvents() const override { return POLLIN; }
    void collect(std::vector<DeviceEvent>& events) override
    {
        char buffer[256];
        ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == 'N') {
                events.push_back({ DeviceEventKind::NodesChanged, {} });
            } else if (i + 1 < n) {
                auto kind = buffer[i] == 'A' ? DeviceEventKind::Arrival : DeviceEventKind::RemoveComplete;
                events.push_back({ kind, std::string("/") + buffer[i + 1] + "/" });
                ++i;
            }
        }
    }

private:
    int m_fd;
};

struct Pipe {
    int fds[2] = { -1, -1 };
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe()
    {
        if (fds[1] >= 0)
            ::close(fds[1]);
    }
    // The read end goes to the source, which closes it.
    std::unique_ptr<EventSource> source() { return std::make_unique<PipeSource>(fds[0]); }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void hangUp()
    {
        ::close(fds[1]);
        fds[1] = -1;
    }
};

std::string describe(const DeviceEvent& e)
{
    switch (e.kind) {
    case DeviceEventKind::NodesChanged:
        return "N";
    case DeviceEventKind::Arrival:
        return "A" + e.root;
    case DeviceEventKind::RemoveComplete:
        return "R" + e.root;
    }
    return "?";
}

// Collects delivered events and lets a test wait for a count.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> seen;

    DeviceEventCallback callback()
    {
        return [this](const DeviceEvent& e) {
            std::lock_guard<std::mutex> guard(mutex);
            seen.push_back(describe(e));
            changed.notify_all();
        };
    }
    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= count; });
    }
    std::vector<std::string> snapshot()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return seen;
    }
};

std::vector<std::unique_ptr<EventSource>> sourcesOf(Pipe& a)
{
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(a.source());
    return sources;
}

} // namespace

TEST(LinuxEventLoop, DeliversInTheOrderTheyHappen)
{
    Pipe usb;
    Pipe mounts;
    Recorder recorder;
    EventLoop loop;
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(usb.source());
    sources.push_back(mounts.source());
    ASSERT_TRUE(loop.start(std::move(sources), recorder.callback()));

    usb.send("N");
    ASSERT_TRUE(recorder.waitFor(1));
    mounts.send("AgRh");
    ASSERT_TRUE(recorder.waitFor(3));
    mounts.send("Rg");
    ASSERT_TRUE(recorder.waitFor(4));
    usb.send("NN");
    ASSERT_TRUE(recorder.waitFor(6));
    loop.stop();
    EXPECT_EQ(recorder.snapshot(), (std::vector<std::string> { "N", "A/g/", "R/h/", "R/g/", "N", "N" }));
}

TEST(LinuxEventLoop, StopWaitsForARunningCallbackAndEndsDelivery)
{
    Pipe pipe;
    std::mutex mutex;
    std::condition_variable cv;
    bool inCallback = false;
    bool release = false;
    std::atomic<int> calls { 0 };
    std::atomic<bool> stopReturned { false };

    EventLoop loop;
    ASSERT_TRUE(loop.start(sourcesOf(pipe), [&](const DeviceEvent&) {
        ++calls;
        std::unique_lock<std::mutex> lock(mutex);
        inCallback = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        // stop() is still waiting for this callback to end.
        EXPECT_FALSE(stopReturned.load());
    }));
    pipe.send("NNN"); // three events in one batch: only the first may be delivered
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return inCallback; }));
    }
    std::thread stopper([&] {
        loop.stop();
        stopReturned = true;
    });
    // Release the callback only once the stop was asked for: the rest of the batch must then
    // be dropped.
    for (int i = 0; i < 5000 && !loop.stopRequested(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(loop.stopRequested());
    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
        cv.notify_all();
    }
    stopper.join();
    EXPECT_TRUE(stopReturned);
    EXPECT_EQ(calls.load(), 1);
    // The stopped loop has released its sources: the pipe has no reader any more.
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::write(pipe.fds[1], "N", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    loop.stop(); // a second stop is harmless
    EXPECT_EQ(calls.load(), 1);
}

TEST(LinuxEventLoop, StopFromInsideTheCallbackEndsDelivery)
{
    Pipe pipe;
    std::atomic<int> calls { 0 };
    EventLoop loop;
    ASSERT_TRUE(loop.start(sourcesOf(pipe), [&](const DeviceEvent&) {
        ++calls;
        loop.stop();
        EXPECT_FALSE(loop.start({}, nullptr)) << "the delivering thread cannot restart itself";
    }));
    pipe.send("NNNN");
    // The thread releases its sources as it ends: the pipe then reads as hung up.
    // A writable pipe answers poll at once, so the wait is bounded by the clock, not by a count.
    pollfd end { pipe.fds[1], POLLOUT, 0 };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(end.revents & POLLERR) && std::chrono::steady_clock::now() < deadline) {
        ::poll(&end, 1, 1);
        if (!(end.revents & POLLERR))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(end.revents & POLLERR);
    loop.stop(); // joins the ended thread
    EXPECT_EQ(calls.load(), 1);
}

TEST(LinuxEventLoop, ARestartReplacesTheCallback)
{
    Pipe first;
    Pipe second;
    Recorder old;
    Recorder now;
    EventLoop loop;
    ASSERT_TRUE(loop.start(sourcesOf(first), old.callback()));
    first.send("N");
    ASSERT_TRUE(old.waitFor(1));
    ASSERT_TRUE(loop.start(sourcesOf(second), now.callback()));
    second.send("Ax");
    ASSERT_TRUE(now.waitFor(1));
    loop.stop();
    EXPECT_EQ(old.snapshot().size(), 1u);
    EXPECT_EQ(now.snapshot(), std::vector<std::string> { "A/x/" });
}

TEST(LinuxEventLoop, AnEndedSourceDoesNotStopTheOthers)
{
    Pipe gone;
    Pipe alive;
    Recorder recorder;
    EventLoop loop;
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(gone.source());
    sources.push_back(alive.source());
    ASSERT_TRUE(loop.start(std::move(sources), recorder.callback()));
    gone.send("N");
    gone.hangUp();
    ASSERT_TRUE(recorder.waitFor(1));
    alive.send("Rz");
    ASSERT_TRUE(recorder.waitFor(2));
    loop.stop();
    EXPECT_EQ(recorder.snapshot(), (std::vector<std::string> { "N", "R/z/" }));
}

TEST(LinuxMountWatch, ReportsOnlyWhatChangedSinceTheLastListing)
{
    std::vector<std::vector<VolumeInfo>> listings = {
        { { "/", "", "ext4", false }, { "/media/u/OLD/", "OLD", "FAT32", true } },
        { { "/", "", "ext4", false }, { "/media/u/OLD/", "OLD", "FAT32", true } },
        { { "/", "", "ext4", false }, { "/media/u/TARVEL/", "TARVEL", "FAT32", true } },
        {}, // this listing fails
        { { "/", "", "ext4", false } },
    };
    size_t next = 0;
    MountTableSource source(-1, [&](std::vector<VolumeInfo>& out) {
        size_t index = next++;
        if (index == 3)
            return false;
        out = listings.at(index);
        return true;
    });
    EXPECT_EQ(next, 1u) << "the first listing is taken at once";
    EXPECT_EQ(source.pollEvents(), POLLPRI);

    std::vector<DeviceEvent> events;
    source.collect(events);
    EXPECT_TRUE(events.empty()) << "volumes present at the start bring no events";

    source.collect(events);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(describe(events[0]), "R/media/u/OLD/");
    EXPECT_EQ(describe(events[1]), "A/media/u/TARVEL/");

    events.clear();
    source.collect(events); // failed listing: nothing, and the last one is kept
    EXPECT_TRUE(events.empty());
    source.collect(events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(describe(events[0]), "R/media/u/TARVEL/");
}
