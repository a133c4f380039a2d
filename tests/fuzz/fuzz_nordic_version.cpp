// The wireless version parse over any report text.
#include "devlink/service_commands.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* text = static_cast<char*>(std::malloc(size ? size : 1));
    if (size)
        std::memcpy(text, data, size);
    NordicVersion version;
    const bool found = parseNordicVersion(text, size, &version);
    std::free(text);
    // Digits read are digits; an undotted answer has no build number.
    if (found && !version.dotted && version.version != 0)
        std::abort();
    for (char c : version.digits)
        if (c < '0' || c > '9')
            std::abort();
    return 0;
}
