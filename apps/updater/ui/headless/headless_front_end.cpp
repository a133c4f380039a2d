#include "headless_front_end.h"

#include "console_input.h"
#include "console_output.h"
#include "headless_window.h"

#include "shell/window_procedure.h"
#include "shell/window_thread.h"

#include "platform/debug_output.h"
#include "platform/process.h"
#include "platform/virtual_bus.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<bool> g_ending { false };
ConsoleOutput* g_console = nullptr;

// The developer's lines join the log: standard error is the person's here.
void debugToLog(const char* text)
{
    g_console->log(text, std::strlen(text));
}

// Ends the process once, whichever thread gets here first; a later caller waits for it.
[[noreturn]] void endProcess(int status, const std::function<void()>& cleanUp)
{
    if (g_ending.exchange(true)) {
        platform::waitForever();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    if (cleanUp)
        cleanUp();
    platform::endProcessNow(status);
}

// A virtual bus that cannot be reached or spoken to leaves nothing to wait for: the device
// would never show. The run ends with 1 and says why (the first fault is the one told).
void endOnBusFault(WindowThread& loop, HeadlessWindow& window)
{
    static std::atomic<bool> reported { false };
    platform::setVirtualBusFaultHandler([&loop, &window](const std::string& message) {
        if (g_ending || reported.exchange(true))
            return;
        loop.post([&window, message] { window.finish(1, "bus-failure", message); });
    });
}

} // namespace

int runHeadless(const HeadlessSettings& settings, std::function<void()> cleanUp)
{
    FILE* logFile = nullptr;
    if (!settings.logFile.empty()) {
        logFile = std::fopen(settings.logFile.c_str(), "a");
        if (!logFile) {
            const std::string reason = "cannot write the log file " + settings.logFile + ": " + std::strerror(errno);
            std::fprintf(stderr, "tarvel-updater: %s\n", reason.c_str());
            if (settings.json) {
                ConsoleSinks sinks;
                sinks.json = true;
                ConsoleOutput(sinks).outcome(2, "usage", reason);
            }
            return 2;
        }
    }
    ConsoleSinks sinks;
    sinks.logFile = logFile;
    sinks.json = settings.json;
    sinks.verbose = settings.verbose;
    sinks.spinner = platform::isTerminal(stdout);
    // The console, the loop and the window live until the process ends: detached workers may
    // report to them up to the last moment.
    auto* console = new ConsoleOutput(sinks);
    g_console = console;
    platform::setDebugOutputSink(debugToLog);

    if (!startUpdater()) {
        console->notice("[Tarvel GPS Updater Message] You already have updater running.");
        console->outcome(3, "another-instance", "You already have updater running.");
        return 3;
    }

    auto* loop = new WindowThread();
    // Set before the input starts; this frame never unwinds once the loop runs (the run ends
    // the process), so the lines' hand-over may refer to it.
    HeadlessWindow* window = nullptr;
    auto* input = new ConsoleInput(
        stdin,
        [&window, loop](
            const std::string& line) { loop->post([&window, line] { window->onInputLine(line); }); },
        [&window, loop] { loop->post([&window] { window->onInputClosed(); }); });
    window = new HeadlessWindow(
        settings, *console, *loop, input, [cleanUp](int status) { endProcess(status, cleanUp); });
    setMainWindow(window);
    endOnBusFault(*loop, *window);

    // Ctrl-C and SIGTERM: say what becomes of the device, then end at once, even while the
    // window thread is inside a long handler or a question.
    platform::watchInterrupts([window, cleanUp](int signal) {
        window->finish(128 + signal, "interrupted", HeadlessWindow::interruptMessage());
        endProcess(window->exitStatus(), cleanUp);
    });

    loop->post([window] {
        onWindowCreated();
        onWindowShown();
        window->onStarted();
    });
    input->start();
    if (!loop->watchDeviceEvents())
        console->notice(
            "Device changes cannot be watched here: a device plugged in later will not be noticed.");
    loop->run();
    window->finishOnQuit();
    endProcess(window->exitStatus(), cleanUp);
}
