#pragma once
// What the shell needs of its main window. The Qt window and the headless console each
// implement it; tests use a recording one. Calls may come from any thread: an implementation
// carries them over to its window thread and returns once they are done there.

#include <cstddef>
#include <string>

enum class WindowControl { UpdateButton, ProgressBar, LogWindow };

enum class MessageBoxKind { Ok, OkCancel, YesNo };
enum class MessageBoxIcon { None, Information, Warning, Error };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No };

class WindowPort {
public:
    virtual ~WindowPort() = default;

    virtual void showControl(WindowControl control, bool visible) = 0;
    virtual void setButtonText(const char* text) = 0;
    // Invalidates the whole window (erasing the background) and repaints it at once.
    virtual void repaint() = 0;
    // Appends text (8-bit, one character per byte) at the log window's selection.
    virtual void appendToLog(const char* text, size_t length) = 0;
    // The line sink for developers (standard error on Linux).
    virtual void debugOutput(const char* text, size_t length) = 0;
    virtual MessageBoxAnswer messageBox(const char* text, const char* caption, MessageBoxKind kind,
                                        MessageBoxIcon icon) = 0;
    virtual void enableMenuItem(int commandId, bool enabled) = 0;
    // Delivers a custom window message to the window thread and waits for its handler.
    virtual void sendMessage(int message, long wParam) = 0;
    // Ends the message loop with exit code 0.
    virtual void quit() = 0;
};

// The window the shell reports to; nullptr until the main window exists and after it is gone.
WindowPort* mainWindow();
void setMainWindow(WindowPort* window);
