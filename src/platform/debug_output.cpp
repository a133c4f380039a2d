#include "platform/debug_output.h"

#include <cstdio>

namespace platform {

void debugOutput(const char* text)
{
    if (text)
        std::fputs(text, stderr);
}

} // namespace platform
