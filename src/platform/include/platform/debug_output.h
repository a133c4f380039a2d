#pragma once
// The line sink for developers (standard error on Linux). Texts carry their own line ends.

namespace platform {
void debugOutput(const char* text);

// Sends the texts elsewhere from now on (nullptr: standard error again). A console front end,
// whose standard error is the user's, keeps them with its log instead.
using DebugOutputSink = void (*)(const char* text);
void setDebugOutputSink(DebugOutputSink sink);
} // namespace platform
