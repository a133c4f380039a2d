#pragma once
// Lines typed on standard input, read by a thread of its own so that the window thread never
// waits on the terminal except while a question is open. A line typed while a question waits
// answers it; any other line goes to the line handler (the button, menu commands, the
// recovery prompt). The end of the input is told once, to whoever waits and to the handler.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

class ConsoleInput {
public:
    using LineHandler = std::function<void(const std::string& line)>;
    using EndHandler = std::function<void()>;

    // Reads from in (not owned) once start() is called.
    ConsoleInput(FILE* in, LineHandler onLine, EndHandler onEnd);
    // Joins the reader when the input has ended; otherwise leaves it blocked in its read
    // (it holds only state shared with it, never this object).
    ~ConsoleInput();
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;

    void start();

    // A question is open from openQuestion to closeQuestion: every line typed meanwhile is
    // kept for it, so that a line typed right after a refused one is not lost. Lines left over
    // when it closes go to the line handler.
    void openQuestion();
    void closeQuestion();
    // Waits for the next line typed for the open question. False when the input is closed (at
    // once, or while waiting).
    bool nextAnswer(std::string& line);
    bool closed() const;
    // A question is open now.
    bool questionOpen() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
