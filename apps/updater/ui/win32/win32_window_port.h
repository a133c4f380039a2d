#pragma once
// The Window port on Win32: the main window, its controls, menu, paint and timers, the recovery
// dialog and the message boxes. The thread that creates it runs the message loop and is the
// window thread; calls from workers reach it with SendMessageW, so they are done when the call
// returns. Only one shell handler runs at a time: a device change, timer, click or worker's
// send that arrives while one runs (inside a message box's loop) waits in a queue and is
// handled after it returns.
//
// The port outlives the window: once the loop has ended it is closed, and a worker that still
// calls it is parked for good instead of touching a window that is gone.

#include "shell/handler_queue.h"
#include "state/window_port.h"

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class Win32WindowPort final : public WindowPort {
public:
    // Registers the class and creates the main window (not yet shown).
    explicit Win32WindowPort(HINSTANCE instance);
    ~Win32WindowPort() override;

    HWND window() const { return m_window; }
    bool created() const { return m_window != nullptr; }

    // Runs a shell handler on the window thread in its turn.
    void dispatch(std::function<void()> handler) { m_queue.dispatch(std::move(handler)); }
    // From any thread: hands a device-change event (DBT_...) to the window thread.
    void postDeviceChange(int event);
    // The message loop, until the quit message; returns its code. firstPaint runs once, after
    // the first WM_PAINT finished.
    int run(std::function<void()> firstPaint);
    // The loop has ended: no further call reaches the window.
    void close();

    // WindowPort
    void showControl(WindowControl control, bool visible) override;
    void setButtonText(const char* text) override;
    void repaint() override;
    void appendToLog(const char* text, size_t length) override;
    void debugOutput(const char* text, size_t length) override;
    MessageBoxAnswer messageBox(const char* text, const char* caption, MessageBoxKind kind,
                                MessageBoxIcon icon) override;
    void enableMenuItem(int commandId, bool enabled) override;
    void sendMessage(int message, MessageParam wParam) override;
    void quit() override;
    void startTimer(int timerId, int milliseconds) override;
    void killTimer(int timerId) override;
    void openWebPage(const char* url) override;
    void exitProcess(int status) override;
    void createRecoveryDialog() override;
    void destroyRecoveryDialog() override;
    void focusRecoveryDialog() override;
    bool recoveryBoxTicked(int controlId) override;
    void setRecoveryBoxTicked(int controlId, bool ticked) override;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handleDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    void paint();

    bool onWindowThread() const;
    // Runs fn on the window thread and returns once it ran there.
    void callOnWindow(const std::function<void()>& fn);
    void refreshMenu();
    void traceStatus();
    void pressButtonInAdvance();
    void answerRecoveryInAdvance();

    HINSTANCE m_instance;
    HWND m_window = nullptr;
    HWND m_progress = nullptr;
    HWND m_button = nullptr;
    HWND m_log = nullptr;
    HWND m_dialog = nullptr;
    HACCEL m_accelerators = nullptr;
    HBITMAP m_background = nullptr;
    HFONT m_warningFont = nullptr;
    HDEVNOTIFY m_deviceNotification = nullptr;
    DWORD m_threadId = 0;
    std::function<void()> m_firstPaint;
    std::map<int, bool> m_menuEnabled; // as the shell set them

    // Window thread only.
    unsigned m_boxesShown = 0;
    bool m_autoPressPending = false;
    bool m_painted = false;
    // Set by quit(): the loop ends on it even when posted messages keep coming (WM_QUIT waits
    // behind every posted message, and may never be reached while device events flow).
    bool m_quitting = false;
    HandlerQueue m_queue;

    // Hand-over between threads.
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_closed = false;
    std::string m_lastStatus;
};
