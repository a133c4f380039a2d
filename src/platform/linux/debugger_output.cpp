#include "debugger_output.h"

namespace platform::detail {
// Linux has no debugger text channel: the line sink's standard error is what a developer reads.
void debuggerOutput(const char*) { }
} // namespace platform::detail
