#pragma once
// The order in which a window runs the shell's handlers, the same for every window port. Only
// one handler runs at a time: an event that arrives while one runs (a device change, a timer, a
// click, a worker's send) waits its turn and runs after the running one returned, even when the
// running handler spins a nested loop (a message box) that delivers the event. Window thread
// only; the port supplies the few things that differ between windows as hooks.

#include <deque>
#include <functional>

class HandlerQueue {
public:
    struct Hooks {
        // Asks the window thread to call drain() later, from its loop (a posted message). Called
        // once for handlers queued while none runs, until that drain came.
        std::function<void()> requestDrain;
        // How many times the window has read its input so far (a nested loop's turns); the
        // queue compares it before and after a handler.
        std::function<unsigned()> inputReads;
        // Drops the input that waited while a long handler held the thread without reading it.
        std::function<void()> dropStaleInput;
    };

    explicit HandlerQueue(Hooks hooks);

    // Runs handler in its turn: at once when none runs or waits, else queued after those.
    void dispatch(std::function<void()> handler);
    // Runs fn now, as part of the running handler (a send on the window's own thread, a
    // dialog's initialisation): handlers dispatched meanwhile wait as they would for a handler.
    void runInline(const std::function<void()>& fn);
    // Runs the waiting handlers in order; does nothing inside a handler or a drain.
    void drain();
    // The posted drain has come: the next queued handler may ask for another.
    void drainArrived();
    // The window is gone: waiting handlers are dropped and no further one runs.
    void close();

    size_t pending() const { return m_pending.size(); }
    bool handlerRunning() const { return m_depth > 0; }
    int depth() const { return m_depth; }

private:
    void runHandler(const std::function<void()>& handler);

    Hooks m_hooks;
    int m_depth = 0;
    bool m_draining = false;
    bool m_drainRequested = false;
    bool m_closed = false;
    std::deque<std::function<void()>> m_pending;
};
