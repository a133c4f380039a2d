#include "recording_window.h"

namespace testsupport {

RecordingWindow::RecordingWindow() { setMainWindow(this); }
RecordingWindow::~RecordingWindow() { setMainWindow(nullptr); }

void RecordingWindow::showControl(WindowControl control, bool isVisible)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_visible[control] = isVisible;
}

void RecordingWindow::setButtonText(const char* text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_button = text;
}

void RecordingWindow::repaint()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_repaints;
}

void RecordingWindow::appendToLog(const char* text, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.append(text, length);
}

void RecordingWindow::debugOutput(const char* text, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_debug.append(text, length);
}

MessageBoxAnswer RecordingWindow::messageBox(const char* text, const char* caption, MessageBoxKind, MessageBoxIcon)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    messageBoxes.push_back(std::string(caption) + "|" + text);
    return nextAnswer;
}

void RecordingWindow::enableMenuItem(int commandId, bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    menu[commandId] = enabled;
}

void RecordingWindow::sendMessage(int message, MessageParam wParam)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    messages.emplace_back(message, wParam);
}

void RecordingWindow::quit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++quits;
}

bool RecordingWindow::visible(WindowControl control) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_visible.find(control);
    return it != m_visible.end() && it->second;
}

std::string RecordingWindow::buttonText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_button;
}

std::string RecordingWindow::log() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

std::string RecordingWindow::debug() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_debug;
}

int RecordingWindow::repaints() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_repaints;
}

void RecordingWindow::startTimer(int timerId, int milliseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    timers[timerId] = milliseconds;
}

void RecordingWindow::killTimer(int timerId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    timers.erase(timerId);
}

void RecordingWindow::openWebPage(const char* url)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    webPages.push_back(url);
}

void RecordingWindow::exitProcess(int status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    exits.push_back(status);
}

void RecordingWindow::createRecoveryDialog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    recoveryDialogOpen = true;
    ++recoveryDialogsCreated;
    recoveryTicks.clear();
}

void RecordingWindow::destroyRecoveryDialog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    recoveryDialogOpen = false;
    recoveryTicks.clear();
}

void RecordingWindow::focusRecoveryDialog() {}

bool RecordingWindow::recoveryBoxTicked(int controlId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = recoveryTicks.find(controlId);
    return it != recoveryTicks.end() && it->second;
}

void RecordingWindow::setRecoveryBoxTicked(int controlId, bool ticked)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    recoveryTicks[controlId] = ticked;
}

} // namespace testsupport
