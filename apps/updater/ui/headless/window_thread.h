#pragma once
// What the console window needs of the window thread's loop: run a task there later, run one
// there and wait for it ("send"), end the loop, and timers. The front end hands it the shell's
// loop; tests hand it one of their own.

#include <functional>

class WindowThread {
public:
    virtual ~WindowThread() = default;
    virtual void post(std::function<void()> task) = 0;
    // Runs task on the window thread and returns once it has finished: directly when called
    // there, else by a blocking hand-over.
    virtual void send(std::function<void()> task) = 0;
    virtual void quit() = 0;
    // Calls onTimer(timerId) on the window thread after milliseconds and every period after.
    virtual void startTimer(int timerId, int milliseconds) = 0;
    virtual void killTimer(int timerId) = 0;
};
