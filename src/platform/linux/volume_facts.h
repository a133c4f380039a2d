#pragma once
// What the volume service makes of a mount and the udev facts of its block device, kept
// apart from the system calls that gather them so that fixtures can drive it.

#include "linux/mount_table.h"
#include "platform/device_events.h"
#include "platform/volumes.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform::linux_backend {

// A udev property set (ID_FS_LABEL, ID_BUS, ...).
using UdevProperties = std::map<std::string, std::string>;

// Parses "KEY=VALUE" lines, as "udevadm info -q property" prints them; an "E: " prefix
// (the full "udevadm info" listing) is accepted and other listing lines are skipped.
UdevProperties parseUdevProperties(const std::string& text);

// Decodes udev's "\xHH" escapes (ID_FS_LABEL_ENC and alike). Anything else stays as it is.
std::string decodeUdevEscapes(const std::string& encoded);

// The volume label: ID_FS_LABEL_ENC decoded, else ID_FS_LABEL, else empty.
std::string volumeLabel(const UdevProperties& properties);

// The file-system name as the platform user knows it. kernelType is the mount's type;
// properties supply ID_FS_TYPE (for "fuseblk") and ID_FS_VERSION (FAT12/16 against FAT32).
std::string platformFileSystemName(const std::string& kernelType, const UdevProperties& properties);

// Kernel-internal file systems that are not volumes a user would see (proc, sysfs, cgroup, ...).
bool isPseudoFileSystem(const std::string& kernelType);

// What udev knows about the block device behind one mount.
struct BlockFacts {
    bool known = false; // a block device was found for the mount's device number
    UdevProperties properties; // the partition's (or disk's) udev properties
    bool diskRemovable = false; // the whole disk's "removable" attribute is 1
};

// A USB mass-storage disk counts as removable even when it reports itself fixed.
bool isRemovable(const BlockFacts& facts);

VolumeInfo volumeFromMount(const MountEntry& mount, const BlockFacts& facts);

using BlockFactsLookup = std::function<BlockFacts(unsigned major, unsigned minor)>;

// The volume list of a mount table: pseudo file systems left out, and where one mount point
// is mounted over, only the last (the visible) mount kept. Table order otherwise.
std::vector<VolumeInfo> volumesFromMounts(
    const std::vector<MountEntry>& mounts, const BlockFactsLookup& lookup);

// The events between two listings: RemoveComplete for each removable root that went away,
// then Arrival for each removable root that is new, each group in listing order.
std::vector<DeviceEvent> volumeChangeEvents(
    const std::vector<VolumeInfo>& before, const std::vector<VolumeInfo>& after);

} // namespace platform::linux_backend
