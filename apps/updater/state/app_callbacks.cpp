#include "app_callbacks.h"

#include "shared_state.h"

#include "textutil/format.h"

#include <cstdarg>

AppCallbacks appCallbacks;

void setLogCallback(LogFn fn) { appCallbacks.log.store(fn); }
void setSleepCallback(SleepFn fn) { appCallbacks.sleepSeconds.store(fn); }
void setUnfinishedProgrammingCallback(UnfinishedFn fn) { appCallbacks.unfinishedProgramming.store(fn); }

void setStatusCallback(StatusFn fn)
{
    appCallbacks.status.store(fn);
    if (fn)
        fn(0, "Please connect your\nTarvel GPS Device", "");
}

void logLine(const char* text)
{
    if (LogFn fn = appCallbacks.log.load())
        fn(text);
}

void logLinef(const char* format, ...)
{
    LogFn fn = appCallbacks.log.load();
    if (!fn)
        return;
    va_list args;
    va_start(args, format);
    const std::string line = textutil::formatv(format, args);
    va_end(args);
    fn(line.c_str());
}

void reportStatus(int isComplete, const char* message, const char* detail)
{
    if (StatusFn fn = appCallbacks.status.load())
        fn(isComplete, message, detail);
}

void sleepFor(int seconds)
{
    if (SleepFn fn = appCallbacks.sleepSeconds.load())
        fn(seconds);
}

void reportUnfinishedProgramming(bool unfinished)
{
    flashIncomplete = unfinished ? 1 : 0;
    if (UnfinishedFn fn = appCallbacks.unfinishedProgramming.load())
        fn(unfinished);
}
