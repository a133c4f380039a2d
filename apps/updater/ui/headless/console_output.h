#pragma once
// Everything the console front end prints: the two status lines when they change, the button
// when it shows, the log (standard error with --verbose, a file with --log), questions and
// their answers, notices and the outcome of the run, as text for a person or as one JSON
// object per line per event. Safe to call from any thread; lines never interleave.

#include "state/window_port.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Who gave an answer.
enum class AnswerSource { Person, Auto, ClosedInput, Given };

struct ConsoleSinks {
    FILE* out = stdout; // events
    FILE* err = stderr; // the log with verbose
    FILE* logFile = nullptr; // the log, whatever else is on
    bool json = false;
    bool verbose = false;
    bool spinner = false; // a terminal is watching: draw a spinner while work is under way
};

class ConsoleOutput {
public:
    explicit ConsoleOutput(const ConsoleSinks& sinks);
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    // Prints the two status lines when they differ from those printed last.
    void status(const std::string& line1, const std::string& line2);
    // Prints the button when it shows or its label changes while it shows; hint tells a
    // person how to press it.
    void button(bool visible, const std::string& text, const char* hint);
    // One text of the log (it carries its own line ends).
    void log(const char* text, size_t length);
    // The log window shown: what it holds so far is printed, then every new text.
    void showLog(bool shown);
    void question(const std::string& caption, const std::string& text, MessageBoxKind kind);
    void answer(MessageBoxAnswer answer, AnswerSource source);
    // The recovery dialog's prompt and the choice made in it ("13,japanese", "cancel").
    void recoveryPrompt(const std::string& text);
    void recoveryAnswer(const std::string& choice, AnswerSource source);
    // Anything else the front end has to tell (an unreadable answer, a closed input, Ctrl-C).
    void notice(const std::string& text);
    // The run's last word: nothing is printed after it (the log file still gets the log).
    void outcome(int exitStatus, const std::string& result, const std::string& message);
    // The progress bar: a spinner on a terminal while it shows.
    void progress(bool visible);

    // Two status lines as one line for a person: the pieces of each line joined by " / ",
    // the second after " -- " when it has any text.
    static std::string flatten(const std::string& line1, const std::string& line2);

private:
    void writeEventLocked(const std::string& line);
    void clearSpinnerLocked();
    void spinnerLoop();

    ConsoleSinks m_sinks;
    std::mutex m_mutex;
    bool m_printedStatus = false;
    std::string m_line1;
    std::string m_line2;
    bool m_buttonVisible = false;
    std::string m_buttonText;
    std::string m_logText; // what the log window holds
    bool m_logShown = false;
    // The shown log's last text on the output did not end its line (a device's own text, a
    // text cut at its limit): the next event starts on a line of its own.
    bool m_outLineOpen = false;
    bool m_ended = false; // the outcome was printed

    // Spinner, only when a terminal watches.
    std::condition_variable m_spin;
    std::thread m_spinner;
    bool m_spinning = false;
    bool m_spinnerDrawn = false;
    bool m_stop = false;
};
