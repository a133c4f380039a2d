#include "qt_window_port.h"

#include "main_window.h"
#include "recovery_dialog.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

#include "platform/clock.h"
#include "platform/device_events.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kAutoPressDelayMs = 1200;

QString latin1(const char* text) { return QString::fromLatin1(text ? text : ""); }

// Log texts carry their own line ends, "\r\n" or "\n"; the log window breaks lines on "\n".
QString logText(const char* text, size_t length)
{
    QString widened = QString::fromLatin1(text, qsizetype(length));
    widened.replace("\r\n", "\n");
    widened.remove(QChar('\r'));
    return widened;
}

QMessageBox::Icon qtIcon(MessageBoxIcon icon)
{
    switch (icon) {
    case MessageBoxIcon::Information:
        return QMessageBox::Information;
    case MessageBoxIcon::Question:
        return QMessageBox::Question;
    case MessageBoxIcon::Warning:
        return QMessageBox::Warning;
    case MessageBoxIcon::Error:
        return QMessageBox::Critical;
    case MessageBoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

QtWindowPort::QtWindowPort(std::function<void()> firstPaint)
    : m_queue(HandlerQueue::Hooks {
          [this] { QMetaObject::invokeMethod(m_anchor, [this] { m_queue.drainArrived(); }, Qt::QueuedConnection); },
          [this] { return m_loopTurns; },
          [this] { dropStaleInput(); } })
{
    m_anchor = new QObject();
    m_inputFilter = new InputFilter(this);
    QCoreApplication::instance()->installEventFilter(m_inputFilter);
    // Each time the loop runs dry it has delivered whatever input was waiting.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, m_anchor,
                     [this] { ++m_loopTurns; });
    MainWindow::Hooks hooks;
    hooks.firstPaint = std::move(firstPaint);
    hooks.command = [this](int id) { m_queue.dispatch([id] { onCommand(id); }); };
    hooks.focusGained = [this] { m_queue.dispatch([] { onFocusGained(); }); };
    hooks.closeAsked = [this] { m_queue.dispatch([] { onCloseAsked(); }); };
    m_window = new MainWindow(std::move(hooks));
    // The device commands are shown disabled while device work runs.
    for (QMenu* menu : m_window->findChildren<QMenu*>())
        QObject::connect(menu, &QMenu::aboutToShow, m_anchor, [this] { refreshMenu(); });
}

QtWindowPort::~QtWindowPort()
{
    close();
    delete m_inputFilter;
    delete m_dialog.data();
    delete m_window.data();
    delete m_anchor;
}

bool QtWindowPort::onGuiThread() const { return QThread::currentThread() == m_anchor->thread(); }

bool QtWindowPort::post(std::function<void()> fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return false;
    QMetaObject::invokeMethod(m_anchor, std::move(fn), Qt::QueuedConnection);
    return true;
}

void QtWindowPort::callOnGui(const std::function<void()>& fn)
{
    if (onGuiThread()) {
        if (!m_closed)
            fn();
        return;
    }
    auto finished = std::make_shared<bool>(false);
    const bool posted = post([this, fn, finished] {
        fn();
        std::lock_guard<std::mutex> lock(m_mutex);
        *finished = true;
        m_done.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    // Once the window is gone a worker waits here until the process ends: it must not go on
    // with device work that nobody sees, nor touch a window that no longer exists.
    (void)posted;
    m_done.wait(lock, [&] { return *finished; });
}

void QtWindowPort::sendFromWorker(std::function<void()> handler)
{
    auto finished = std::make_shared<bool>(false);
    post([this, handler, finished] {
        m_queue.dispatch([this, handler, finished] {
            handler();
            std::lock_guard<std::mutex> lock(m_mutex);
            *finished = true;
            m_done.notify_all();
        });
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return *finished; });
}

bool QtWindowPort::eventFilter(QObject*, QEvent* event)
{
    if (!m_droppingInput)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
        return true;
    default:
        return false;
    }
}

void QtWindowPort::dropStaleInput()
{
    m_droppingInput = true;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    m_droppingInput = false;
}

void QtWindowPort::postDeviceChange(int event)
{
    post([this, event] { m_queue.dispatch([event] { onDeviceChange(event); }); });
}

void QtWindowPort::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_queue.close();
    for (auto& [id, timer] : m_timers)
        timer->stop();
    if (m_window)
        m_window->setClosing();
    if (m_dialog)
        m_dialog->setClosing();
}

void QtWindowPort::showControl(WindowControl control, bool visible)
{
    callOnGui([this, control, visible] {
        if (!m_window)
            return;
        QWidget* widget = control == WindowControl::UpdateButton ? static_cast<QWidget*>(m_window->updateButton())
            : control == WindowControl::ProgressBar              ? static_cast<QWidget*>(m_window->progressBar())
                                                                 : static_cast<QWidget*>(m_window->logEdit());
        widget->setVisible(visible);
        if (visible && control == WindowControl::UpdateButton)
            pressButtonInAdvance();
    });
}

void QtWindowPort::pressButtonInAdvance()
{
    // --auto presses the button that shows (the offered update, then the done screen's OK)
    // after a moment in which it can be seen.
    if (!runOptions().autoAnswer || m_autoPressPending)
        return;
    m_autoPressPending = true;
    QTimer::singleShot(kAutoPressDelayMs, m_anchor, [this] {
        m_autoPressPending = false;
        if (m_window && m_window->updateButton()->isVisible() && !m_closed)
            m_window->updateButton()->click();
    });
}

void QtWindowPort::setButtonText(const char* text)
{
    const QString label = latin1(text);
    callOnGui([this, label] {
        if (m_window)
            m_window->updateButton()->setText(label);
    });
}

void QtWindowPort::repaint()
{
    traceStatus();
    callOnGui([this] {
        if (m_window && m_window->isVisible())
            m_window->clientArea()->repaint();
        else if (m_window)
            m_window->clientArea()->update();
    });
}

void QtWindowPort::traceStatus()
{
    // The developer's line sink gets each new pair of status lines, as the window shows them.
    std::string line = "status: " + statusText.get() + " | " + statusDetail.get();
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line == m_lastStatus)
        return;
    m_lastStatus = line;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void QtWindowPort::appendToLog(const char* text, size_t length)
{
    const QString widened = logText(text, length);
    callOnGui([this, widened] {
        if (m_window)
            m_window->insertLogText(widened);
    });
}

void QtWindowPort::debugOutput(const char* text, size_t length)
{
    std::fwrite(text, 1, length, stderr);
}

MessageBoxAnswer QtWindowPort::messageBox(const char* text, const char* caption, MessageBoxKind kind,
                                          MessageBoxIcon icon)
{
    if (runOptions().autoAnswer) {
        const MessageBoxAnswer answer = autoAnswer(text, caption, kind);
        std::fprintf(stderr, "[%s] %s -> %s\n", caption ? caption : "", text ? text : "",
                     answer == MessageBoxAnswer::Ok      ? "OK"
                         : answer == MessageBoxAnswer::Yes ? "Yes"
                         : answer == MessageBoxAnswer::No  ? "No"
                                                           : "Cancel");
        return answer;
    }
    MessageBoxAnswer answer = kind == MessageBoxKind::YesNo ? MessageBoxAnswer::No : MessageBoxAnswer::Cancel;
    if (kind == MessageBoxKind::Ok)
        answer = MessageBoxAnswer::Ok;
    const QString body = latin1(text);
    const QString title = latin1(caption);
    callOnGui([&] {
        QMessageBox box(qtIcon(icon), title, body, QMessageBox::NoButton, m_window);
        box.setObjectName("messageBox");
        switch (kind) {
        case MessageBoxKind::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            box.setDefaultButton(QMessageBox::Ok);
            break;
        case MessageBoxKind::OkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box.setDefaultButton(QMessageBox::Ok);
            box.setEscapeButton(QMessageBox::Cancel);
            break;
        case MessageBoxKind::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            break;
        }
        const int pressed = box.exec();
        // A box closed without a choice (or when the loop ends) takes its safe answer.
        switch (pressed) {
        case QMessageBox::Ok:
            answer = MessageBoxAnswer::Ok;
            break;
        case QMessageBox::Yes:
            answer = MessageBoxAnswer::Yes;
            break;
        case QMessageBox::No:
            answer = MessageBoxAnswer::No;
            break;
        case QMessageBox::Cancel:
            answer = MessageBoxAnswer::Cancel;
            break;
        default:
            break;
        }
    });
    return answer;
}

void QtWindowPort::enableMenuItem(int commandId, bool enabled)
{
    // The two LOAD FIRMWARE entries stay disabled whatever is asked.
    if (commandId == kCommandLoadStandardFirmware || commandId == kCommandLoadJapanFirmware)
        enabled = false;
    callOnGui([this, commandId, enabled] {
        m_menuEnabled[commandId] = enabled;
        refreshMenu();
    });
}

void QtWindowPort::refreshMenu()
{
    if (!m_window)
        return;
    for (auto [id, enabled] : m_menuEnabled)
        if (QAction* action = m_window->action(id))
            action->setEnabled(enabled && menuEntryChoosable(id));
}

void QtWindowPort::sendMessage(int message, MessageParam wParam)
{
    auto handler = [message, wParam] { onWindowMessage(message, wParam); };
    if (onGuiThread()) {
        if (m_closed)
            return;
        m_queue.runInline(handler);
        return;
    }
    sendFromWorker(handler);
}

void QtWindowPort::quit()
{
    callOnGui([this] {
        m_quitRequested = true;
        if (m_window)
            m_window->hide();
        if (m_dialog)
            m_dialog->hide();
        QCoreApplication::exit(0);
    });
}

void QtWindowPort::startTimer(int timerId, int milliseconds)
{
    callOnGui([this, timerId, milliseconds] {
        QTimer*& timer = m_timers[timerId];
        if (!timer) {
            timer = new QTimer(m_anchor);
            QObject::connect(timer, &QTimer::timeout, m_anchor,
                             [this, timerId] { m_queue.dispatch([timerId] { onTimer(timerId); }); });
        }
        // Timers run on the process's time scale, as every other wait does.
        timer->start(int(milliseconds * platform::timeScale()));
    });
}

void QtWindowPort::killTimer(int timerId)
{
    callOnGui([this, timerId] {
        auto it = m_timers.find(timerId);
        if (it != m_timers.end())
            it->second->stop();
    });
}

void QtWindowPort::openWebPage(const char* url)
{
    const QUrl page(latin1(url));
    callOnGui([page] { QDesktopServices::openUrl(page); });
}

void QtWindowPort::exitProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    platform::deviceEventService().stop();
    // Workers may still run (the erase-keys command is never waited for): no static
    // destructors may run under them.
    std::_Exit(status);
}

void QtWindowPort::createRecoveryDialog()
{
    callOnGui([this] {
        if (m_dialog || !m_window)
            return;
        RecoveryDialog::Hooks hooks;
        hooks.command = [this](int id) { m_queue.dispatch([id] { onRecoveryDialogCommand(id); }); };
        hooks.closeAsked = [this] { m_queue.dispatch([] { onRecoveryDialogClose(); }); };
        m_dialog = new RecoveryDialog(m_window, std::move(hooks));
        // Initialisation comes before the dialog shows, as part of its creation.
        m_queue.runInline([] { onRecoveryDialogInit(); });
        if (!m_dialog)
            return;
        m_dialog->show();
        m_dialog->raise();
        m_dialog->activateWindow();
        m_dialog->setFocus();
        answerRecoveryInAdvance();
    });
}

void QtWindowPort::answerRecoveryInAdvance()
{
    const RunOptions& options = runOptions();
    if (options.recoverType < 4 || options.recoverType > 16)
        return;
    // Tick the model (and the language) and press OK for the user, as clicks in their turn.
    QPointer<RecoveryDialog> dialog = m_dialog;
    const int model = 1000 + options.recoverType;
    const bool japanese = options.recoverJapanese;
    QTimer::singleShot(0, m_anchor, [dialog, model, japanese] {
        if (!dialog)
            return;
        if (QAbstractButton* box = dialog->control(model); box && !box->isChecked())
            box->click();
        if (japanese)
            if (QAbstractButton* box = dialog->control(kRecoveryJapaneseBox); box && !box->isChecked())
                box->click();
        if (QAbstractButton* ok = dialog->control(kRecoveryOk))
            ok->click();
    });
}

void QtWindowPort::destroyRecoveryDialog()
{
    callOnGui([this] {
        if (!m_dialog)
            return;
        RecoveryDialog* dialog = m_dialog;
        m_dialog = nullptr;
        dialog->setClosing();
        dialog->hide();
        // The dialog may be the sender of the click being handled: it goes once that returns.
        dialog->deleteLater();
    });
}

void QtWindowPort::focusRecoveryDialog()
{
    callOnGui([this] {
        if (!m_dialog)
            return;
        m_dialog->show();
        m_dialog->raise();
        m_dialog->activateWindow();
    });
}

bool QtWindowPort::recoveryBoxTicked(int controlId)
{
    bool ticked = false;
    callOnGui([&] { ticked = m_dialog && m_dialog->ticked(controlId); });
    return ticked;
}

void QtWindowPort::setRecoveryBoxTicked(int controlId, bool ticked)
{
    callOnGui([this, controlId, ticked] {
        if (m_dialog)
            m_dialog->setTicked(controlId, ticked);
    });
}
