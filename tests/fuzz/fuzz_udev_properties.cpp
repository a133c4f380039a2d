// The udev property listing over any text, with the label and file-system name made from it.
#include "linux/volume_facts.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace platform::linux_backend;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const UdevProperties properties = parseUdevProperties(text);
    (void)volumeLabel(properties);
    (void)decodeUdevEscapes(text);
    for (const char* type : { "vfat", "fuseblk", "exfat", "ntfs", "ext4" })
        (void)platformFileSystemName(type, properties);
    BlockFacts facts;
    facts.known = true;
    facts.properties = properties;
    (void)isRemovable(facts);
    return 0;
}
