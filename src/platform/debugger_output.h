#pragma once
// The system's debugger channel, beside the line sink: each backend folder gives its own
// debugger_output.cpp (one that has no such channel does nothing).

namespace platform::detail {
void debuggerOutput(const char* text);
} // namespace platform::detail
