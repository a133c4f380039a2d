#pragma once
// A main window that records what the shell asks of it, for tests of the shell's logic.

#include "state/window_port.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordingWindow : public WindowPort {
public:
    // Becomes the shell's main window; the destructor removes it again.
    RecordingWindow();
    ~RecordingWindow() override;

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

    bool visible(WindowControl control) const;
    std::string buttonText() const;
    std::string log() const;
    std::string debug() const;
    int repaints() const;

    std::vector<std::string> messageBoxes; // "caption|text"
    MessageBoxAnswer nextAnswer = MessageBoxAnswer::Ok;
    std::map<int, bool> menu;
    std::vector<std::pair<int, MessageParam>> messages;
    int quits = 0;
    std::map<int, int> timers; // running timers and their periods
    std::vector<std::string> webPages;
    std::vector<int> exits;    // statuses asked for by exitProcess
    bool recoveryDialogOpen = false;
    int recoveryDialogsCreated = 0;
    std::map<int, bool> recoveryTicks;

private:
    mutable std::mutex m_mutex;
    std::map<WindowControl, bool> m_visible;
    std::string m_button = "OK";
    std::string m_log;
    std::string m_debug;
    int m_repaints = 0;
};

} // namespace testsupport
