// The window thread's loop: one handler at a time, in order; sends that return only once their
// handler has finished; events that arrive during a long handler wait for it; timers; the end.

#include "shell/window_thread.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class Trace {
public:
    void add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(what);
    }
    std::vector<std::string> items() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_items;
};

// A gate a handler waits at until the test opens it (bounded, so nothing can hang).
class Gate {
public:
    void open() { m_open.set_value(); }
    bool wait() { return m_future.wait_for(5s) == std::future_status::ready; }

private:
    std::promise<void> m_open;
    std::shared_future<void> m_future = m_open.get_future().share();
};

TEST(WindowThread, EventsDuringALongHandlerRunAfterItInOrder)
{
    WindowThread loop;
    loop.start();
    Trace trace;
    Gate gate;
    std::atomic<bool> inLong { false };
    loop.post([&] {
        inLong = true;
        trace.add("long begin");
        EXPECT_TRUE(gate.wait());
        trace.add("long end");
    });
    while (!inLong)
        std::this_thread::yield();
    loop.post([&] { trace.add("event 1"); });
    loop.post([&] { trace.add("event 2"); });
    gate.open();
    ASSERT_TRUE(loop.waitIdle(5s));
    EXPECT_EQ(trace.items(), (std::vector<std::string> { "long begin", "long end", "event 1", "event 2" }));
}

TEST(WindowThread, ASendFromAWorkerReturnsOnlyWhenItsHandlerHasFinished)
{
    WindowThread loop;
    loop.start();
    Trace trace;
    Gate gate;
    std::atomic<bool> inLong { false };
    loop.post([&] {
        inLong = true;
        EXPECT_TRUE(gate.wait());
        trace.add("long end");
    });
    while (!inLong)
        std::this_thread::yield();
    // A worker sends while the window thread is busy: it waits behind the long handler, not
    // inside it, and the window thread never waits for the worker, so nothing deadlocks.
    std::thread worker([&] {
        EXPECT_TRUE(loop.invoke([&] { trace.add("sent"); }));
        trace.add("send returned");
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(trace.items().size(), 0u);
    gate.open();
    worker.join();
    EXPECT_EQ(trace.items(), (std::vector<std::string> { "long end", "sent", "send returned" }));
}

TEST(WindowThread, ASendOnTheWindowThreadIsADirectCall)
{
    WindowThread loop;
    loop.start();
    Trace trace;
    loop.post([&] {
        EXPECT_TRUE(loop.onWindowThread());
        trace.add("outer begin");
        loop.invoke([&] { trace.add("inner"); });
        trace.add("outer end");
    });
    ASSERT_TRUE(loop.waitIdle(5s));
    EXPECT_EQ(trace.items(), (std::vector<std::string> { "outer begin", "inner", "outer end" }));
    EXPECT_FALSE(loop.onWindowThread());
}

TEST(WindowThread, QuitReleasesBlockedSendersAndDropsWhatIsLeft)
{
    WindowThread loop;
    loop.start();
    Gate gate;
    std::atomic<bool> inLong { false };
    std::atomic<int> ranAfterQuit { 0 };
    loop.post([&] {
        inLong = true;
        EXPECT_TRUE(gate.wait());
        loop.postQuit(7);
    });
    while (!inLong)
        std::this_thread::yield();
    loop.post([&] { ++ranAfterQuit; });
    auto sender = std::async(std::launch::async, [&] { return loop.invoke([&] { ++ranAfterQuit; }); });
    std::this_thread::sleep_for(20ms);
    gate.open();
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(sender.get());
    ASSERT_TRUE(loop.waitEnded(5s));
    EXPECT_EQ(loop.exitCode(), 7);
    EXPECT_EQ(ranAfterQuit.load(), 0);
    // After the end a send returns at once without running anything.
    EXPECT_FALSE(loop.invoke([&] { ++ranAfterQuit; }));
    EXPECT_EQ(ranAfterQuit.load(), 0);
}

TEST(WindowThread, RunOnTheCallingThreadReturnsTheQuitCode)
{
    WindowThread loop;
    std::thread poster([&] { loop.post([&] { loop.postQuit(3); }); });
    EXPECT_EQ(loop.run(), 3);
    poster.join();
}

} // namespace
