#pragma once
// The whole updater in a test: the shell's window thread with a recording window, the
// simulated device on a private virtual bus, time scale 0 (every pause returns at once, the
// test's pause hook may act at chosen pauses), and private folders for the held backup, the
// staging files and the single-instance lock.

#include "shell/window_thread.h"

#include "fake_volumes.h"
#include "platform/clock.h"
#include "recording_window.h"
#include "simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace shelltest {

using Answerer
    = std::function<MessageBoxAnswer(const std::string& caption, const std::string& text, MessageBoxKind)>;

// The recording window, its sends, quit and timers going through the window thread. It keeps
// every change of the two status lines as the window would paint them.
class TestWindow : public testsupport::RecordingWindow {
public:
    explicit TestWindow(WindowThread& loop)
        : m_loop(loop)
    { }

    void repaint() override;
    void sendMessage(int message, MessageParam wParam) override;
    void quit() override;
    void startTimer(int timerId, int milliseconds) override;
    void killTimer(int timerId) override;
    MessageBoxAnswer messageBox(
        const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon icon) override;

    // Every distinct (first line, second line) pair painted, in order.
    std::vector<std::pair<std::string, std::string>> screens() const;
    std::vector<std::string> boxes() const;
    int destroys() const;

    // How questions are answered; without one: OK to notices and confirmations, No to Yes/No.
    void setAnswers(Answerer answerer);
    std::function<void()> onRepaint; // runs (on the painting thread) after each recorded change

private:
    WindowThread& m_loop;
    mutable std::mutex m_screenMutex;
    std::vector<std::pair<std::string, std::string>> m_screens;
    std::vector<std::string> m_boxes;
    Answerer m_answer;
    int m_destroys = 0;
};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the simulated device from its description (simulator syntax).
    void plugDevice(const std::string& description);
    // How the window answers questions, now and in later runs of the updater.
    void setAnswers(Answerer answerer);
    // Starts the updater: start-up, the window's creation and first scans, the device events.
    // False when start-up was refused (another instance).
    bool startUpdater();
    // Ends the updater (as a closed window would) and waits for its workers.
    void stopUpdater();

    // Waits (bounded) until pred holds; the loop and the device have settled when it returns true.
    bool waitFor(
        const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool settled();
    // The done screen: the update completed, nothing is running any more.
    bool waitDone();
    // The offered update shows on the button.
    bool waitOffer();
    void press(int commandId);
    // Asks on the window thread (what the recording window keeps in plain members is written there).
    bool onWindowThread(const std::function<bool()>& ask);

    std::map<std::string, std::string> ridersFiles();
    std::string deviceFace();
    std::string deviceVersion(); // "major.minor" of the application on the device
    std::string deviceNrf();
    bool driveHas(const std::string& name);

    std::string log() const { return window->log(); }
    size_t logCount(const std::string& part) const;
    std::vector<std::string> firstLines() const;
    std::vector<std::string> secondLines() const;

    testsupport::TempFolder home;
    std::unique_ptr<devsim::Simulator> sim;
    std::unique_ptr<WindowThread> loop;
    std::unique_ptr<TestWindow> window;
    Answerer answers;
};

// Whether want appears in have in this order (other items may stand between).
bool inOrder(
    const std::vector<std::string>& have, const std::vector<std::string>& want, std::string* missing);

// The test's pause hook acts at chosen pauses: the first pause of ms on which when() holds
// runs action() (once), on the pausing thread.
void actAtPause(int ms, std::function<bool()> when, std::function<void()> action);

} // namespace shelltest
