#pragma once
// The console front end: the shell's window thread run on the calling thread, with the
// console window (headless_window.h).
//
// Returns only when the run cannot start: 2 when the log file cannot be written, 3 when
// another updater runs (with --json each also said as the run's outcome line). Otherwise the run ends the process itself, after cleanUp, with 0 (the
// device was left up to date or the asked-for command completed) or 1 (a failure ended the
// run, or it ended with the device not up to date); Ctrl-C ends it from a thread of its own
// with 130 (SIGTERM 143). Workers may still be inside a device operation then, so the process
// ends without running them down. The caller blocks SIGINT and SIGTERM in every thread before
// any starts.

#include "headless_settings.h"

#include <functional>

int runHeadless(const HeadlessSettings& settings, std::function<void()> cleanUp);
