// The order of a window's handlers: one at a time, an event raised inside a handler (or inside
// the nested loop of its message box) after it, a drain inside a drain running nothing early,
// the posted drain asked for once, sends on the window's own thread counted as the running
// handler, and stale input dropped only after a long handler that read none.

#include "shell/handler_queue.h"
#include "shell/window_procedure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Window {
    std::vector<std::string> trace;
    int drainRequests = 0;
    unsigned inputReads = 0;
    int staleDrops = 0;
    HandlerQueue queue { HandlerQueue::Hooks {
        [this] { ++drainRequests; },
        [this] { return inputReads; },
        [this] { ++staleDrops; } } };

    std::function<void()> mark(const std::string& name)
    {
        return [this, name] { trace.push_back(name); };
    }
    // What the loop does with the posted drain when it comes.
    void deliverDrain() { queue.drainArrived(); }
};

using Trace = std::vector<std::string>;

TEST(HandlerQueue, HandlersDispatchedInsideAHandlerRunAfterItInOrder)
{
    Window w;
    w.queue.dispatch([&] {
        w.trace.push_back("a begins");
        w.queue.dispatch(w.mark("b"));
        w.queue.dispatch([&] {
            w.trace.push_back("c");
            w.queue.dispatch(w.mark("d"));
        });
        EXPECT_EQ(w.queue.pending(), 2u);
        EXPECT_TRUE(w.queue.handlerRunning());
        w.trace.push_back("a ends");
    });
    EXPECT_EQ(w.trace, (Trace { "a begins", "a ends", "b", "c", "d" }));
    EXPECT_EQ(w.queue.pending(), 0u);
    EXPECT_FALSE(w.queue.handlerRunning());
    // All of it ran on the dispatching call: the loop was never asked to come back.
    EXPECT_EQ(w.drainRequests, 0);
}

TEST(HandlerQueue, ANestedLoopDeliversEventsThatWaitForTheRunningHandler)
{
    Window w;
    w.queue.dispatch([&] {
        w.trace.push_back("box opens");
        // A message box's loop delivers a timer and a device change, then the posted drain.
        w.queue.dispatch(w.mark("timer"));
        w.queue.dispatch(w.mark("device change"));
        w.deliverDrain();
        w.queue.drain();
        w.trace.push_back("box closed");
    });
    EXPECT_EQ(w.trace, (Trace { "box opens", "box closed", "timer", "device change" }));
}

TEST(HandlerQueue, ADrainInsideADrainRunsNothingOutOfTurn)
{
    Window w;
    w.queue.dispatch([&] {
        w.queue.dispatch([&] {
            w.trace.push_back("b begins");
            // The handler run by the drain spins a loop that drains again: c must wait for b.
            w.queue.drain();
            w.deliverDrain();
            w.trace.push_back("b ends");
        });
        w.queue.dispatch(w.mark("c"));
    });
    EXPECT_EQ(w.trace, (Trace { "b begins", "b ends", "c" }));
}

TEST(HandlerQueue, AnEventQueuedOutsideAHandlerAsksTheLoopOnceAndKeepsItsTurn)
{
    Window w;
    // A handler left something queued and the posted drain has not come yet.
    w.queue.dispatch([&] { w.queue.runInline([] { }); });
    w.queue.runInline([&] { w.queue.dispatch(w.mark("queued in a send")); });
    EXPECT_EQ(w.drainRequests, 1);
    EXPECT_EQ(w.queue.pending(), 1u);
    // Later events go behind it, not before it, and ask no second time.
    w.queue.dispatch(w.mark("click"));
    w.queue.dispatch(w.mark("timer"));
    EXPECT_EQ(w.drainRequests, 1);
    EXPECT_TRUE(w.trace.empty());
    w.deliverDrain();
    EXPECT_EQ(w.trace, (Trace { "queued in a send", "click", "timer" }));
    // The next one asks again.
    w.queue.runInline([&] { w.queue.dispatch(w.mark("next")); });
    EXPECT_EQ(w.drainRequests, 2);
    w.deliverDrain();
    EXPECT_EQ(w.trace.back(), "next");
}

TEST(HandlerQueue, ASendOnTheWindowThreadIsPartOfTheRunningHandler)
{
    Window w;
    w.queue.dispatch([&] {
        EXPECT_EQ(w.queue.depth(), 1);
        w.queue.runInline([&] {
            EXPECT_EQ(w.queue.depth(), 2);
            w.trace.push_back("send");
            w.queue.dispatch(w.mark("raised in the send"));
            w.queue.runInline([&] { EXPECT_EQ(w.queue.depth(), 3); });
        });
        EXPECT_EQ(w.queue.depth(), 1);
        w.trace.push_back("handler ends");
    });
    EXPECT_EQ(w.queue.depth(), 0);
    EXPECT_EQ(w.trace, (Trace { "send", "handler ends", "raised in the send" }));
    EXPECT_EQ(w.drainRequests, 0);
}

TEST(HandlerQueue, AClosedQueueDropsWhatWaitsAndRunsNothingMore)
{
    Window w;
    w.queue.dispatch([&] {
        w.queue.dispatch(w.mark("waiting"));
        w.queue.dispatch(w.mark("also waiting"));
        w.queue.close(); // the window was destroyed inside the handler
        w.trace.push_back("handler ends");
    });
    w.queue.dispatch(w.mark("after close"));
    w.queue.runInline(w.mark("send after close"));
    w.deliverDrain();
    EXPECT_EQ(w.trace, (Trace { "handler ends" }));
    EXPECT_EQ(w.queue.pending(), 0u);
}

TEST(HandlerQueue, StaleInputIsDroppedOnlyAfterALongHandlerThatReadNone)
{
    using namespace std::chrono_literals;
    const auto longer = kStaleInputAfter + 50ms;
    Window w;
    w.queue.dispatch(w.mark("short"));
    EXPECT_EQ(w.staleDrops, 0);

    w.queue.dispatch([&] { std::this_thread::sleep_for(longer); });
    EXPECT_EQ(w.staleDrops, 1);

    // A message box read the rider's input meanwhile: what is left is meant for the screen now.
    w.queue.dispatch([&] {
        std::this_thread::sleep_for(longer);
        ++w.inputReads;
    });
    EXPECT_EQ(w.staleDrops, 1);

    // A long send inside a short handler holds the thread all the same; it is judged once, when
    // the outermost handler returns.
    w.queue.dispatch([&] { w.queue.runInline([&] { std::this_thread::sleep_for(longer); }); });
    EXPECT_EQ(w.staleDrops, 2);
}

} // namespace
