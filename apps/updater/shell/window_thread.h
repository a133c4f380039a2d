#pragma once
// The window thread's event loop, for front ends without a toolkit loop of their own (the
// headless console, the tests). One thread runs every handler of window_procedure.h, one at a
// time, in the order the things happened: posted device-change events, commands, timer
// firings, sent messages and calls carried over from other threads. A handler that runs long
// keeps its place: whatever arrives meanwhile waits in the queue and runs after it, never
// inside it, and a message box a handler shows runs no other handler.

#include "state/window_port.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class WindowThread {
public:
    WindowThread() = default;
    ~WindowThread(); // stops the device events and the loop, joins a thread started here
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    // Runs the loop on the calling thread until quit; returns the quit code.
    int run();
    // Runs the loop on a thread of its own.
    void start();
    // Quits the loop (when still running) and waits for a thread started here.
    void stop();

    // Delivers the platform's device-change events (platform::deviceEventService()) as
    // DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE to onDeviceChange.
    // False when the event source could not be reached.
    bool watchDeviceEvents();
    void stopDeviceEvents();

    // Queues work for the window thread and returns at once (from any thread).
    void post(std::function<void()> item);
    void postDeviceChange(int event);
    void postCommand(int commandId);
    // Ends the loop once the item running now (if any) has finished; later items are dropped.
    void postQuit(int code);

    // Runs fn on the window thread and returns when it has finished: a direct call on the
    // window thread, else queued behind what is waiting and the caller blocks. Returns false
    // (fn not run) when the loop has ended or ends first.
    bool invoke(const std::function<void()>& fn);
    // A custom window message with "send" semantics: onWindowMessage has finished on return.
    void send(int message, MessageParam wParam);

    // A timer that runs onTimer(timerId) on the window thread after milliseconds times the
    // time scale, and again every period until killed. A firing waits in the queue like any
    // other event; the next period starts only after its handler has run.
    void startTimer(int timerId, int milliseconds);
    void killTimer(int timerId);

    bool onWindowThread() const;
    // Whether the loop has ended, and its code.
    bool ended() const;
    int exitCode() const;
    // Waits until the loop has ended (false on timeout).
    bool waitEnded(std::chrono::milliseconds timeout) const;
    // Waits until nothing is queued or running and no timer is about to fire (tests).
    bool waitIdle(std::chrono::milliseconds timeout) const;

private:
    struct Call {
        std::function<void()> run;
        std::shared_ptr<bool> done; // set once run has finished (sent items only)
    };
    struct Timer {
        std::chrono::steady_clock::time_point due;
        std::chrono::milliseconds period { 0 };
        bool queued = false;
    };

    void enqueue(Call call);
    void fireTimer(int timerId);
    bool timerDueLocked(std::chrono::steady_clock::time_point now, int* timerId);
    std::chrono::milliseconds scaled(int milliseconds) const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Call> m_queue;
    std::map<int, Timer> m_timers;
    bool m_running = false;
    bool m_busy = false;
    bool m_quitAsked = false;
    bool m_ended = false;
    int m_code = 0;
    std::thread::id m_loopThread;
    std::thread m_thread;
    bool m_watching = false;
};

// A main window whose sends, quit and timers go through a WindowThread; the headless front
// end and the tests' windows derive from it and add what they show.
class ThreadedWindow : public WindowPort {
public:
    explicit ThreadedWindow(WindowThread& loop)
        : m_loop(loop)
    { }

    void sendMessage(int message, MessageParam wParam) override { m_loop.send(message, wParam); }
    void quit() override { m_loop.postQuit(0); }
    void startTimer(int timerId, int milliseconds) override { m_loop.startTimer(timerId, milliseconds); }
    void killTimer(int timerId) override { m_loop.killTimer(timerId); }

    WindowThread& loop() { return m_loop; }

private:
    WindowThread& m_loop;
};
