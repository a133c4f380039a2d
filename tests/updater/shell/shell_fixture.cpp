#include "shell_fixture.h"
#include "platform/local_folders.h"
#include "platform/process.h"

#include "folder_files.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "devlink/device_info.h"
#include "flash/programming.h"
#include "platform/single_instance.h"
#include "platform/virtual_bus.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/gps_drive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace shelltest {

namespace {

struct PauseAction {
    int ms = 0;
    std::function<bool()> when;
    std::function<void()> action;
    bool done = false;
};
std::mutex g_pauseMutex;
std::vector<PauseAction> g_pauseActions;

// The updater's pauses return at once. The device's own take a moment of real time, so that
// it leaves and comes back after the host's command as a device does, not before the host has
// finished the call that sent it: its slices of 250 ms take 1 ms, its pause before leaving 10.
constexpr int kDeviceSlice = 250;
constexpr int kDeviceBeforeLeaving = 249;

void testPause(platform::Milliseconds requested)
{
    if (requested.count() == kDeviceSlice)
        std::this_thread::sleep_for(1ms);
    else if (requested.count() == kDeviceBeforeLeaving)
        std::this_thread::sleep_for(10ms);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(g_pauseMutex);
        for (auto& entry : g_pauseActions) {
            if (!entry.done && entry.ms == requested.count() && (!entry.when || entry.when())) {
                entry.done = true;
                action = entry.action;
                break;
            }
        }
    }
    if (action)
        action();
}

} // namespace

void actAtPause(int ms, std::function<bool()> when, std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(g_pauseMutex);
    g_pauseActions.push_back(PauseAction { ms, std::move(when), std::move(action), false });
}

void TestWindow::repaint()
{
    RecordingWindow::repaint();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_screenMutex);
        std::pair<std::string, std::string> now { statusText.get(), statusDetail.get() };
        if (m_screens.empty() || m_screens.back() != now) {
            m_screens.push_back(std::move(now));
            changed = true;
        }
    }
    if (changed && onRepaint)
        onRepaint();
}

void TestWindow::sendMessage(int message, MessageParam wParam)
{
    RecordingWindow::sendMessage(message, wParam);
    if (message == kMessageDestroy) {
        std::lock_guard<std::mutex> lock(m_screenMutex);
        ++m_destroys;
    }
    m_loop.send(message, wParam);
}

void TestWindow::quit()
{
    RecordingWindow::quit();
    m_loop.postQuit(0);
}

void TestWindow::startTimer(int timerId, int milliseconds)
{
    RecordingWindow::startTimer(timerId, milliseconds);
    m_loop.startTimer(timerId, milliseconds);
}

void TestWindow::killTimer(int timerId)
{
    RecordingWindow::killTimer(timerId);
    m_loop.killTimer(timerId);
}

MessageBoxAnswer TestWindow::messageBox(
    const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon icon)
{
    RecordingWindow::messageBox(text, caption, kind, icon);
    Answerer answerer;
    {
        std::lock_guard<std::mutex> lock(m_screenMutex);
        m_boxes.push_back(std::string(caption) + "|" + text);
        answerer = m_answer;
    }
    if (answerer)
        return answerer(caption, text, kind);
    switch (kind) {
    case MessageBoxKind::Ok:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::OkCancel:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::YesNo:
        return MessageBoxAnswer::No;
    }
    return MessageBoxAnswer::Cancel;
}

void TestWindow::setAnswers(Answerer answerer)
{
    std::lock_guard<std::mutex> lock(m_screenMutex);
    m_answer = std::move(answerer);
}

std::vector<std::pair<std::string, std::string>> TestWindow::screens() const
{
    std::lock_guard<std::mutex> lock(m_screenMutex);
    return m_screens;
}

std::vector<std::string> TestWindow::boxes() const
{
    std::lock_guard<std::mutex> lock(m_screenMutex);
    return m_boxes;
}

int TestWindow::destroys() const
{
    std::lock_guard<std::mutex> lock(m_screenMutex);
    return m_destroys;
}

void ShellTest::SetUp()
{
    resetSharedState();
    forgetGpsDrive();
    readDeviceCrashCount = 0;
    eraseCrashCount = programCrashCount = resetCrashCount = 0;
    platform::setTimeScale(0.0);
    platform::setPauseHook(testPause);
    platform::setDataHome(home.sub("data"));
    platform::setStateHome(home.sub("state"));
    platform::setEnvironment("XDG_RUNTIME_DIR", home.path());
}

void ShellTest::TearDown()
{
    stopUpdater();
    if (sim)
        sim->stop();
    platform::selectVirtualBus("");
    platform::setPauseHook(nullptr);
    {
        std::lock_guard<std::mutex> lock(g_pauseMutex);
        g_pauseActions.clear();
    }
    platform::releaseSingleInstance();
    forgetGpsDrive();
    setDeviceReturnLimit(std::chrono::seconds(60));
    resetSharedState();
}

void ShellTest::plugDevice(const std::string& description)
{
    devsim::DeviceConfig config;
    std::string error;
    ASSERT_TRUE(devsim::parseDeviceDescription(description, config, error)) << error;
    if (config.driveDir.empty())
        config.driveDir = home.sub("drive");
    sim = std::make_unique<devsim::Simulator>(config);
    ASSERT_TRUE(sim->start(home.sub("bus.sock"), &error)) << error;
    sim->device().timings().beforeLeaving = kDeviceBeforeLeaving;
    platform::selectVirtualBus(sim->socketPath());
    ASSERT_TRUE(sim->device().waitIdle(20000));
}

void ShellTest::setAnswers(Answerer answerer)
{
    answers = answerer;
    if (window)
        window->setAnswers(std::move(answerer));
}

bool ShellTest::startUpdater()
{
    loop = std::make_unique<WindowThread>();
    window = std::make_unique<TestWindow>(*loop);
    window->setAnswers(answers);
    loop->start();
    bool started = false;
    loop->invoke([&] { started = ::startUpdater(); });
    if (!started)
        return false;
    loop->watchDeviceEvents();
    loop->post([] {
        onWindowCreated();
        onWindowShown();
    });
    return true;
}

void ShellTest::stopUpdater()
{
    if (!loop)
        return;
    loop->stopDeviceEvents();
    loop->stop();
    // Workers end on their own; none may outlive the test's state.
    for (int i = 0; i < 6000 && runningWorkers() > 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(runningWorkers(), 0) << "a worker still runs";
    platform::releaseSingleInstance();
    window.reset();
    loop.reset();
}

bool ShellTest::settled()
{
    // Device events travel through the bus to the loop: a quiet moment after both are idle
    // lets the last of them arrive and be handled.
    for (int round = 0; round < 2; ++round) {
        if (!loop->waitIdle(5s) || (sim && !sim->device().waitIdle(20000)))
            return false;
        if (round == 0)
            std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool ShellTest::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred() && settled() && runningWorkers() == 0 && pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool ShellTest::waitDone()
{
    return waitFor([] {
        return statusDetail.get() == "Latest software is installed on device" && !isSet(updateActive);
    });
}

bool ShellTest::waitOffer()
{
    return waitFor([this] {
        return window->buttonText().rfind("Update to", 0) == 0
            && window->visible(WindowControl::UpdateButton);
    });
}

void ShellTest::press(int commandId)
{
    loop->postCommand(commandId);
}

bool ShellTest::onWindowThread(const std::function<bool()>& ask)
{
    bool answer = false;
    loop->invoke([&] { answer = ask(); });
    return answer;
}

std::map<std::string, std::string> ShellTest::ridersFiles()
{
    return testsupport::filesBelow(sim->device().driveRoot() + "Tarvel");
}

std::string ShellTest::deviceFace()
{
    return sim->device().state()["face"].asString();
}

std::string ShellTest::deviceVersion()
{
    const Json::Value app = sim->device().state()["application"];
    return std::to_string(app["major"].asInt()) + "." + std::to_string(app["minor"].asInt());
}

std::string ShellTest::deviceNrf()
{
    return sim->device().state()["nrf_version"].asString();
}

bool ShellTest::driveHas(const std::string& name)
{
    return fs::exists(sim->device().driveRoot() + name);
}

size_t ShellTest::logCount(const std::string& part) const
{
    const std::string text = log();
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

std::vector<std::string> ShellTest::firstLines() const
{
    std::vector<std::string> lines;
    for (const auto& screen : window->screens())
        if (lines.empty() || lines.back() != screen.first)
            lines.push_back(screen.first);
    return lines;
}

std::vector<std::string> ShellTest::secondLines() const
{
    std::vector<std::string> lines;
    for (const auto& screen : window->screens())
        if (lines.empty() || lines.back() != screen.second)
            lines.push_back(screen.second);
    return lines;
}

bool inOrder(const std::vector<std::string>& have, const std::vector<std::string>& want, std::string* missing)
{
    size_t at = 0;
    for (const auto& item : want) {
        while (at < have.size() && have[at] != item)
            ++at;
        if (at == have.size()) {
            if (missing)
                *missing = item;
            return false;
        }
        ++at;
    }
    return true;
}

} // namespace shelltest
