#pragma once
// The shell's main window on a console: status lines, the button, the log, questions and the
// recovery dialog become lines on the terminal (console_output.h), answers and commands come
// from standard input (console_input.h) or are given in advance (--auto, --recover,
// --command). It also knows when a console run is over and with which exit status.

#include "console_input.h"
#include "console_output.h"
#include "headless_settings.h"
#include "shell/window_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class HeadlessWindow : public ThreadedWindow {
public:
    // input may be nullptr (nothing can be typed: every question takes its safe answer).
    HeadlessWindow(const HeadlessSettings& settings, ConsoleOutput& console, WindowThread& loop,
        ConsoleInput* input, std::function<void(int status)> endProcess);
    ~HeadlessWindow() override;

    void showControl(WindowControl control, bool visible) override;
    void setButtonText(const char* text) override;
    void repaint() override;
    void appendToLog(const char* text, size_t length) override;
    void debugOutput(const char* text, size_t length) override;
    MessageBoxAnswer messageBox(
        const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon icon) override;
    void enableMenuItem(int commandId, bool enabled) override;
    void openWebPage(const char* url) override;
    void exitProcess(int status) override;
    void createRecoveryDialog() override;
    void destroyRecoveryDialog() override;
    void focusRecoveryDialog() override;
    bool recoveryBoxTicked(int controlId) override;
    void setRecoveryBoxTicked(int controlId, bool ticked) override;

    // Window thread: a line typed while no question waits, and the end of the input.
    void onInputLine(const std::string& line);
    void onInputClosed();
    // Window thread: start-up is done (the first scans ran); the asked-for command may start.
    void onStarted();

    // Ctrl-C (any thread): the text that tells what becomes of the device.
    static std::string interruptMessage();

    // The run's end: the exit status and what to say, decided once. True when this call
    // decided it. The loop is asked to end.
    bool finish(int status, const std::string& result, const std::string& message);
    bool finished() const;
    int exitStatus() const;
    // What the run ends with when the loop ended without a decision (Exit, the button, a
    // worker's destroy after a failure box).
    void finishOnQuit();

private:
    void requestCheck();
    void check();
    void pressButton();
    void runCommand(int commandId);
    void askRecovery();
    void applyRecovery(const std::string& choiceText, AnswerSource source);
    bool workUnderway() const;
    bool waitingForTheDevice() const;
    void pressOkWhenNothingHappens(bool okOnly);
    bool waitForTheDevice(const std::string& failure);
    void checkEvery(std::chrono::milliseconds period);
    bool doneScreen();
    const char* buttonHint() const;

    HeadlessSettings m_settings;
    ConsoleOutput& m_console;
    ConsoleInput* m_input;
    std::function<void(int)> m_endProcess;

    mutable std::mutex m_mutex; // the members below
    bool m_buttonVisible = false;
    std::string m_buttonText = "OK";
    std::map<int, bool> m_menu;
    std::map<int, bool> m_ticks;
    bool m_dialogOpen = false;
    bool m_promptOpen = false;
    bool m_warning = false;
    bool m_checkPosted = false;

    std::mutex m_questionMutex; // one question at a time
    std::atomic<bool> m_inputClosed { false };
    std::atomic<bool> m_started { false };
    std::atomic<bool> m_pressedOffer { false };

    // The asked-for command.
    bool m_commandIssued = false;
    bool m_commandWorkSeen = false; // its work flag (or the update) was seen set
    bool m_commandWaitTold = false; // the command waits for a device, and that was said
    // An unattended run looking at a device's screen whose button offers nothing (its "OK"
    // closes the program), with no work under way: since when.
    std::chrono::steady_clock::time_point m_idleOkSince {};
    bool m_idleOk = false;

    // The outcome.
    std::atomic<bool> m_languagePacksFailed { false };
    std::atomic<bool> m_commandRefused { false };
    std::atomic<bool> m_commandSucceeded { false };
    std::atomic<bool> m_commandFailed { false };
    std::string m_failureStatus; // a failure shown in the status lines
    std::atomic<bool> m_finished { false };
    // An unattended run whose update waits for the device after a failure: since when, and the
    // thread that checks again once the wait is over.
    std::chrono::steady_clock::time_point m_waitingSince {};
    bool m_waiting = false;
    std::thread m_wakeThread;
    std::mutex m_wakeMutex;
    std::condition_variable m_wakeCondition;
    bool m_closing = false;
    int m_exitStatus = 1;
};
