#pragma once
// The Window port on Qt: carries every call over to the GUI thread, and keeps the shell's
// handlers in the order of their events. Only one handler runs at a time: an event that
// arrives while one runs (a device change, a timer, a click, a worker's send) waits in a queue
// of its own and is handled after it returns, even when the running handler spins a nested
// loop (a message box). A send from the GUI thread is a direct call, as the shell expects.
//
// The port outlives the window: once the loop has ended it is closed, and a worker that still
// calls it is parked for good instead of touching a window that is gone.

#include "main_window.h"
#include "recovery_dialog.h"

#include "shell/handler_queue.h"
#include "state/window_port.h"

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class QTimer;

class QtWindowPort final : public WindowPort {
public:
    // Call on the GUI thread, with the application existing. Creates the main window (hidden);
    // firstPaint runs once, after the window was drawn for the first time.
    explicit QtWindowPort(std::function<void()> firstPaint = nullptr);
    ~QtWindowPort() override;

    MainWindow* window() const { return m_window; }
    RecoveryDialog* recoveryDialog() const { return m_dialog; }

    // Runs a shell handler on the GUI thread in its turn: at once when none runs, else after the
    // running one (and those queued before it) returned.
    void dispatch(std::function<void()> handler) { m_queue.dispatch(std::move(handler)); }
    // Number of handlers waiting for their turn.
    size_t pendingHandlers() const { return m_queue.pending(); }
    bool handlerRunning() const { return m_queue.handlerRunning(); }

    // From any thread: hands a device-change event (DBT_...) to the GUI thread.
    void postDeviceChange(int event);

    // The loop has ended (or is about to): no further call reaches Qt.
    void close();
    bool quitRequested() const { return m_quitRequested; }

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
    bool onGuiThread() const;
    // Runs fn on the GUI thread and returns once it ran there.
    void callOnGui(const std::function<void()>& fn);
    // From a worker: runs handler in its turn among the handlers and waits until it returned.
    void sendFromWorker(std::function<void()> handler);
    // Posts fn to the GUI thread without waiting; false once the port is closed.
    bool post(std::function<void()> fn);
    void answerRecoveryInAdvance();
    void pressButtonInAdvance();
    void traceStatus();
    void dropStaleInput();
    void refreshMenu();
    bool eventFilter(QObject* watched, QEvent* event);

    // Drops stale input while dropStaleInput delivers it.
    class InputFilter : public QObject {
    public:
        explicit InputFilter(QtWindowPort* port) : m_port(port) {}
        bool eventFilter(QObject* watched, QEvent* event) override { return m_port->eventFilter(watched, event); }

    private:
        QtWindowPort* m_port;
    };

    QObject* m_anchor = nullptr; // lives on the GUI thread; queued calls go through it
    QPointer<MainWindow> m_window;
    QPointer<RecoveryDialog> m_dialog;
    std::map<int, QTimer*> m_timers;
    std::map<int, bool> m_menuEnabled; // as the shell set them

    // GUI thread only.
    bool m_quitRequested = false;
    bool m_autoPressPending = false;
    InputFilter* m_inputFilter = nullptr;
    unsigned m_loopTurns = 0;
    bool m_droppingInput = false;
    HandlerQueue m_queue;

    // Hand-over between threads.
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_closed = false;
    std::string m_lastStatus;
};
