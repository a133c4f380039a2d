// The application frame decoder over any input report: it must never read past the report
// nor write past the reply buffer, and the length it reports must fit that buffer.
#include "devlink/frame_codec.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t reply[kReplyBufferSize];
    std::memset(reply, 0xEE, sizeof reply);
    // The report lives in a buffer of its exact size, so a read past it is caught.
    uint8_t* report = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size)
        std::memcpy(report, data, size);
    const DecodedFrame frame = decodeFrame(report, size, reply);
    std::free(report);
    if (frame.length > kReplyBufferSize)
        std::abort();
    return 0;
}
