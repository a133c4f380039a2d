#pragma once
// The console front end: the shell run on this thread as its window thread, with the console
// window (headless_window.h). Returns the run's exit status: 0 the device was left up to date
// or the asked-for command completed, 1 a failure ended the run, 2 the log file cannot be
// written, 3 another updater runs. Ctrl-C ends the process from a thread of its own with 130,
// after cleanUp; the caller blocks SIGINT and SIGTERM in every thread before any starts.

#include "headless_settings.h"

#include <functional>

int runHeadless(const HeadlessSettings& settings, std::function<void()> cleanUp);
