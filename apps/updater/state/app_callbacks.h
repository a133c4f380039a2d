#pragma once
// The slots through which every part below the shell reports: one text at a time to the log,
// the two status lines, pauses, and whether a programming of the device is unfinished.
// Start-up fills them once before the window exists.

#include "device_models.h"

#include <atomic>

using LogFn = void (*)(const char* text);
using StatusFn = void (*)(int isComplete, const char* message, const char* detail);
using SleepFn = void (*)(int seconds);
using UnfinishedFn = void (*)(bool unfinished);

struct AppCallbacks {
    std::atomic<LogFn> log{nullptr};
    std::atomic<StatusFn> status{nullptr};
    std::atomic<SleepFn> sleepSeconds{nullptr};
    std::atomic<DeviceInfo*> currentDevice{nullptr};
    // Keeps the mark of an unfinished programming for a later run (the shell's choice where).
    std::atomic<UnfinishedFn> unfinishedProgramming{nullptr};
};

extern AppCallbacks appCallbacks;

void setLogCallback(LogFn fn);
void setSleepCallback(SleepFn fn);
void setUnfinishedProgrammingCallback(UnfinishedFn fn);
// Stores fn and at once shows the first status text before the window exists.
void setStatusCallback(StatusFn fn);

// The shared way to log: calls the log slot when one is set, does nothing otherwise.
void logLine(const char* text);
// printf-style logLine; the text is cut at 1023 bytes.
void logLinef(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Calls the status slot when one is set. nullptr keeps a line, "" blanks it.
void reportStatus(int isComplete, const char* message, const char* detail);
// Calls the sleep slot when one is set.
void sleepFor(int seconds);
// From an erase (or a write into an empty region) until a programming completes, the device
// holds no whole application: sets or clears flashIncomplete and tells the slot when one is set.
void reportUnfinishedProgramming(bool unfinished);
