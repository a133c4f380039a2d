#pragma once
// What the shell needs of its main window. The Qt window and the headless console each
// implement it; tests use a recording one. Calls may come from any thread: an implementation
// carries them over to its window thread and returns once they are done there.

#include <cstddef>
#include <cstdint>
#include <string>

// A window message's parameter: wide enough to carry a pointer on every platform (a long is
// 32 bits on 64-bit Windows).
using MessageParam = std::intptr_t;

enum class WindowControl { UpdateButton, ProgressBar, LogWindow };

enum class MessageBoxKind { Ok, OkCancel, YesNo };
enum class MessageBoxIcon { None, Information, Question, Warning, Error };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No };

class WindowPort {
public:
    virtual ~WindowPort() = default;

    virtual void showControl(WindowControl control, bool visible) = 0;
    virtual void setButtonText(const char* text) = 0;
    // Invalidates the whole window and repaints it at once (the status lines and the warning
    // are read from the shared state when painting).
    virtual void repaint() = 0;
    // Appends text (8-bit, one character per byte) at the log window's selection.
    virtual void appendToLog(const char* text, size_t length) = 0;
    // The line sink for developers (standard error on Linux).
    virtual void debugOutput(const char* text, size_t length) = 0;
    // Asks the user and waits for the answer. caption may be "" (no caption).
    virtual MessageBoxAnswer messageBox(const char* text, const char* caption, MessageBoxKind kind,
                                        MessageBoxIcon icon) = 0;
    virtual void enableMenuItem(int commandId, bool enabled) = 0;
    // Delivers a window message (window_messages.h) to the window thread and waits until its
    // handler has finished: a direct call on the window thread, a blocking hand-over from any
    // other thread. kMessageDestroy destroys the main window, which ends the program.
    virtual void sendMessage(int message, MessageParam wParam) = 0;
    // Ends the message loop with exit code 0.
    virtual void quit() = 0;

    // A timer that calls onTimer(timerId) on the window thread after milliseconds, and again
    // every period until killed (the shell kills the update alert's timer when it fires).
    virtual void startTimer(int timerId, int milliseconds) = 0;
    virtual void killTimer(int timerId) = 0;

    // Opens a web page in the user's browser.
    virtual void openWebPage(const char* url) = 0;

    // Ends the process at once with this status, as the erase-keys flow does.
    virtual void exitProcess(int status) = 0;

    // The recovery dialog: modeless, owned by the main window. Its tick boxes toggle
    // themselves when clicked and then report the click through onRecoveryDialogCommand; the
    // shell reads and sets the ticks by control id (window_messages.h).
    virtual void createRecoveryDialog() = 0;  // create, show, give it the keyboard focus
    virtual void destroyRecoveryDialog() = 0;
    virtual void focusRecoveryDialog() = 0;   // show it and bring it to the front
    virtual bool recoveryBoxTicked(int controlId) = 0;
    virtual void setRecoveryBoxTicked(int controlId, bool ticked) = 0;
};

// The window the shell reports to; nullptr until the main window exists and after it is gone.
WindowPort* mainWindow();
void setMainWindow(WindowPort* window);
