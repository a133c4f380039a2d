#include "platform/debug_output.h"

#include "debugger_output.h"

#include <atomic>
#include <cstdio>

namespace platform {

namespace {
std::atomic<DebugOutputSink> g_sink { nullptr };
} // namespace

void debugOutput(const char* text)
{
    if (!text)
        return;
    detail::debuggerOutput(text);
    if (DebugOutputSink sink = g_sink.load())
        sink(text);
    else
        std::fputs(text, stderr);
}

void setDebugOutputSink(DebugOutputSink sink)
{
    g_sink.store(sink);
}

} // namespace platform
