// tarvel-updater: the window on the shell, or the console front end (--headless), on real
// devices, the virtual bus or a simulated device of its own.

#include "simulated_device.h"
#include "updater_options.h"

#include "flash/programming.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/session_recording.h"
#include "shell/run_options.h"
#include "ui/headless/console_output.h"
#include "ui/headless/headless_front_end.h"
#ifdef TARVEL_HAS_WINDOW_FRONT_END
#include "window_front_end.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

SimulatedDevice g_simulated;

void cleanUp()
{
    // The recording ends with the run's session: the simulated device going away as the program
    // ends is no part of what the device did.
    platform::stopSessionRecording();
    stopSimulatedDevice(g_simulated);
}

// --json anywhere on the line, even on a line that cannot be used: a script reading the events
// then gets the outcome of a run that never started as JSON too.
bool jsonAsked(const std::vector<std::string>& args)
{
    for (const std::string& arg : args)
        if (arg.substr(0, arg.find('=')) == "--json")
            return true;
    return false;
}

// Says why the run cannot start: on standard error for a person, and with --json as the run's
// outcome, the one line standard output then holds.
int refuseToStart(bool json, int status, const char* result, const std::string& reason, bool withHelp)
{
    std::fprintf(stderr, "tarvel-updater: %s\n%s", reason.c_str(), withHelp ? "Try 'tarvel-updater --help'.\n" : "");
    if (json) {
        ConsoleSinks sinks;
        sinks.json = true;
        ConsoleOutput(sinks).outcome(status, result, reason);
    }
    return status;
}

// --record=FILE, else TARVEL_RECORD (the window started from a menu entry has no command line).
bool startRecording(const UpdaterOptions& options, std::string& error)
{
    std::string file = options.recordFile;
    if (file.empty())
        if (const char* fromEnvironment = std::getenv("TARVEL_RECORD"))
            file = fromEnvironment;
    if (file.empty())
        return true;
    platform::setSessionRecordingFailureHandler(
        [](const std::string& message) { std::fprintf(stderr, "tarvel-updater: %s\n", message.c_str()); });
    std::string version = updaterVersionText();
    while (!version.empty() && (version.back() == '\n' || version.back() == '\r'))
        version.pop_back();
    return platform::startSessionRecording(file, options.recordOverwrite, version, error);
}

} // namespace

int main(int argc, char** argv)
{
    platform::elapsedMs(); // the program's start, from which every --json line's t_ms counts
    UpdaterOptions options;
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!parseUpdaterOptions(args, options, error))
        return refuseToStart(jsonAsked(args), kExitUsage, "usage", error, true);
    if (options.help) {
        std::fputs(updaterUsage().c_str(), stdout);
        return kExitDone;
    }
    if (options.version) {
        std::fputs(updaterVersionText().c_str(), stdout);
        return kExitDone;
    }
    if (options.timeScaleGiven)
        platform::setTimeScale(options.timeScale);
    verifyAfterWrite = options.noVerify ? 0 : 1;
    if (!startRecording(options, error))
        return refuseToStart(options.console.json, kExitUsage, "usage", error, false);

    RunOptions run;
    run.autoAnswer = options.autoAnswer;
    run.recoverType = options.recoverType;
    run.recoverJapanese = options.recoverJapanese;
    setRunOptions(run);

    bool headless = options.headless;
#ifdef TARVEL_HAS_WINDOW_FRONT_END
    if (!headless && !windowDisplayAvailable()) {
        std::fputs("tarvel-updater: no display to open the window on; running on the console.\n", stderr);
        headless = true;
    }
    if (!headless) {
        if (options.simulate && !startSimulatedDevice(options.simulatedDevice, g_simulated, error)) {
            std::fprintf(stderr, "tarvel-updater: %s\n", error.c_str());
            return kExitFailure;
        }
        const int status = runWindowFrontEnd(argc, argv);
        cleanUp();
        // Workers parked at the closed window are still there: the process ends here, as the
        // console's does, rather than in destructors of state those workers still hold.
        std::fflush(nullptr);
        std::_Exit(status);
    }
#else
    if (!headless) {
        std::fputs(
            "tarvel-updater: the window is not available in this build; running on the console.\n", stderr);
        headless = true;
    }
#endif

    // Ctrl-C and SIGTERM are taken by the console front end's own thread: block them before any
    // thread (the simulator's included) starts, so that every thread inherits the mask.
    platform::prepareInterrupts();

    if (options.simulate && !startSimulatedDevice(options.simulatedDevice, g_simulated, error))
        return refuseToStart(options.console.json, kExitFailure, "failure", error, false);
    // Returns only when the run cannot start; otherwise it ends the process itself.
    const int status = runHeadless(options.console, cleanUp);
    cleanUp();
    return status;
}
