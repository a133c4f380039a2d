#pragma once
// The line sink for developers (standard error on Linux). Texts carry their own line ends.

namespace platform {
void debugOutput(const char* text);
} // namespace platform
