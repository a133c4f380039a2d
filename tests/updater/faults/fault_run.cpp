#include "fault_run.h"

#include "ui/headless/console_output.h"
#include "ui/headless/headless_window.h"

#include "devlink/device_info.h"
#include "flash/programming.h"
#include "platform/single_instance.h"
#include "shell/run_options.h"
#include "shell/shell.h"
#include "shell/window_procedure.h"
#include "shell/window_thread.h"
#include "state/shared_state.h"
#include "storage/gps_drive.h"

#include <json/reader.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The console's own window, with the test's hooks called after it has done its part.
class HookedWindow : public HeadlessWindow {
public:
    HookedWindow(const HeadlessSettings& settings, ConsoleOutput& console, WindowThread& loop,
        std::function<void(int)> endProcess, const FaultRunHooks& hooks)
        : HeadlessWindow(settings, console, loop, nullptr, std::move(endProcess))
        , m_hooks(hooks)
    {
    }

    void appendToLog(const char* text, size_t length) override
    {
        HeadlessWindow::appendToLog(text, length);
        const std::string piece(text, length);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_log += piece;
        }
        if (m_hooks.onLog)
            m_hooks.onLog(piece);
    }

    void repaint() override
    {
        HeadlessWindow::repaint();
        if (m_hooks.onPaint)
            m_hooks.onPaint(statusText.get(), statusDetail.get());
    }

    std::string log() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }

private:
    const FaultRunHooks& m_hooks;
    mutable std::mutex m_mutex;
    std::string m_log;
};

std::string fileText(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    return text;
}

// A fresh process's state: no flags, no drive, no retry counts.
void freshProcessState()
{
    resetSharedState();
    forgetGpsDrive();
    readDeviceCrashCount = 0;
    eraseCrashCount = 0;
    programCrashCount = 0;
    resetCrashCount = 0;
}

} // namespace

FaultRunResult runUpdaterOnce(const FaultRunHooks& hooks, std::chrono::seconds limit,
    int recoverType, bool recoverJapanese, HeadlessCommand command)
{
    FaultRunResult run;
    const auto started = std::chrono::steady_clock::now();
    freshProcessState();
    RunOptions options;
    options.autoAnswer = true;
    options.recoverType = recoverType;
    options.recoverJapanese = recoverJapanese;
    setRunOptions(options);

    FILE* out = std::tmpfile();
    if (!out)
        return run;
    ConsoleSinks sinks;
    sinks.out = out;
    sinks.err = out;
    sinks.json = true;
    {
        // Held by pointers: a worker that never ends keeps using them, so they are then left
        // alive for the rest of the process rather than freed under it.
        auto console = std::make_unique<ConsoleOutput>(sinks);
        auto loop = std::make_unique<WindowThread>();
        auto endedWith = std::make_shared<std::atomic<int>>(-1);
        HeadlessSettings settings;
        settings.command = command;
        auto window = std::make_unique<HookedWindow>(
            settings, *console, *loop, [endedWith](int status) { *endedWith = status; }, hooks);
        setMainWindow(window.get());
        loop->start();
        bool startedUp = false;
        loop->invoke([&] { startedUp = startUpdater(); });
        if (startedUp) {
            loop->watchDeviceEvents();
            HookedWindow* shown = window.get();
            loop->post([shown] {
                onWindowCreated();
                onWindowShown();
                shown->onStarted();
            });
            run.ended = loop->waitEnded(limit);
            window->finishOnQuit(); // what the front end does once its loop has ended
        }
        loop->stopDeviceEvents();
        loop->stop();
        // The program would end here; in the test the workers must end on their own before the
        // next run shares their state.
        for (int i = 0; i < 3000 && runningWorkers() > 0; ++i)
            std::this_thread::sleep_for(10ms);
        run.workersEnded = runningWorkers() == 0;
        run.status = *endedWith >= 0 ? endedWith->load() : window->exitStatus();
        run.log = window->log();
        platform::releaseSingleInstance();
        if (run.workersEnded) {
            setMainWindow(nullptr);
        } else {
            (void)window.release();
            (void)loop.release();
            (void)console.release();
        }
    }

    std::istringstream lines(fileText(out));
    if (run.workersEnded)
        std::fclose(out);
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(lines, line)) {
        Json::Value event;
        std::string errors;
        std::istringstream in(line);
        if (!Json::parseFromStream(builder, in, &event, &errors))
            continue;
        const std::string kind = event["event"].asString();
        if (kind == "status")
            run.screens.emplace_back(event["line1"].asString(), event["line2"].asString());
        else if (kind == "question")
            run.questions.push_back(event["caption"].asString() + "|" + event["text"].asString());
        else if (kind == "outcome") {
            run.status = event["status"].asInt();
            run.result = event["result"].asString();
            run.message = event["message"].asString();
        }
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return run;
}
