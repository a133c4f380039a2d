#pragma once
// The byte trace of the serial transports: an opening piece, each byte through "%02x" with
// " " between bytes, a closing piece, every piece its own log call at the Trace level.

#include "blfwk/logger.h"

#include <cstdint>

namespace blfwk {

inline void traceSerialBytes(const char* open, const uint8_t* bytes, int count, const char* close)
{
    Log::trace("%s", open);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            Log::trace(" ");
        Log::trace("%02x", bytes[i]);
    }
    Log::trace("%s", close);
}

} // namespace blfwk
