#pragma once
// One unattended console run of the updater (--headless --auto, time scale 0) inside the test
// process: the console front end's own window on the shell's window thread, its events as JSON
// lines in a private file, against the in-process simulated device. A hook sees every log text
// and every repaint on the thread that reports it, before that thread goes on, so a fault can
// be put in place at an exact step of the update. Every run starts from fresh shared state, as
// a new process would; what lives on disk (a held backup) stays.

#include "ui/headless/headless_settings.h"

#include <json/value.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct FaultRunHooks {
    // Called with each text of the log, on the reporting thread.
    std::function<void(const std::string& text)> onLog;
    // Called after each repaint with the two status lines, on the painting thread.
    std::function<void(const std::string& line1, const std::string& line2)> onPaint;
};

struct FaultRunResult {
    bool ended = false;        // the run decided its outcome and its loop ended in time
    bool workersEnded = false; // no worker thread was left running
    int status = -1;           // the exit status the program would end with
    std::string result;        // the outcome event's result and message
    std::string message;
    std::vector<std::pair<std::string, std::string>> screens; // status lines as printed, in order
    std::vector<std::string> questions; // "caption|text" of every question asked
    std::string log;
    double seconds = 0;
};

// Runs the updater until it decides its outcome (or limit passes), then waits for its workers.
// recoverType >= 0 answers the recovery dialog with that model; command is --command=NAME.
FaultRunResult runUpdaterOnce(const FaultRunHooks& hooks, std::chrono::seconds limit,
    int recoverType = -1, bool recoverJapanese = false, HeadlessCommand command = HeadlessCommand::None);
