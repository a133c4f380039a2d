// The mount table parser over any text, and the root of every mount point it yields.
#include "linux/mount_table.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : platform::linux_backend::parseMountInfo(text)) {
        const std::string root = platform::linux_backend::rootOfMountPoint(entry.mountPoint);
        if (root.empty() || root.back() != '/')
            std::abort();
    }
    (void)platform::linux_backend::unescapeMountField(text);
    return 0;
}
