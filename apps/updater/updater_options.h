#pragma once
// The command line of tarvel-updater: the run modes (window or console, real devices, the
// virtual bus or a simulated device started in this process), the time scale, answers given
// in advance and the console's own choices.

#include "simulator.h"
#include "ui/headless/headless_settings.h"

#include <string>
#include <vector>

// Exit statuses of a console run (the window always ends with 0).
constexpr int kExitDone = 0; // the device was left up to date, or the command completed
constexpr int kExitFailure = 1; // a failure ended the run
constexpr int kExitUsage = 2; // the command line cannot be used
constexpr int kExitAnotherInstance = 3;
constexpr int kExitInterrupted = 130; // Ctrl-C

// The device --simulate starts when no description is given: a Peak Pro with firmware below
// major 13 and the rider's files on its drive, so that the update resets and restores the drive.
extern const char* const kBuiltInSimulatedDevice;

struct UpdaterOptions {
    bool help = false;
    bool version = false;

    bool simulate = false;
    std::string simulateDescription; // as given after --simulate=
    devsim::DeviceConfig simulatedDevice; // the built-in device with the description applied

    bool timeScaleGiven = false;
    double timeScale = 1.0;
    bool autoAnswer = false;
    bool headless = false;
    int recoverType = -1; // 4..16, -1 none
    bool recoverJapanese = false;
    bool noVerify = false; // the written firmware is not read back before the device restarts
    std::string recordFile; // --record=FILE (or TARVEL_RECORD): the session recording
    bool recordOverwrite = false;

    HeadlessSettings console;
};

// Reads argv (without the program name) into options. False with a one-line reason in error
// when the line cannot be used (the caller prints it with the usage and exits kExitUsage).
bool parseUpdaterOptions(const std::vector<std::string>& args, UpdaterOptions& options, std::string& error);

// --help's text.
std::string updaterUsage();
// --version's text.
std::string updaterVersionText();
