#pragma once
// The mount table as the kernel reports it in /proc/self/mountinfo, parsed from text so that
// it can be read from fixtures as well as from the running system.

#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

struct MountEntry {
    int mountId = 0;
    int parentId = 0;
    unsigned major = 0; // device of the mounted file system (0 for pseudo file systems)
    unsigned minor = 0;
    std::string root; // the mounted part of the file system ("/" for all of it)
    std::string mountPoint; // unescaped absolute path
    std::string mountOptions; // per-mount options ("rw,relatime")
    std::string fsType; // kernel file-system type ("vfat", "ext4", "fuseblk")
    std::string source; // unescaped mount source ("/dev/sdb1", "none")
    std::string superOptions;
};

// Undoes the kernel's octal escapes ("\040" space, "\011" tab, "\012" newline, "\134"
// backslash). A backslash not followed by three octal digits stays as it is.
std::string unescapeMountField(const std::string& field);

// Parses one line: the six leading fields, any number of optional fields up to the lone
// "-", then type, source and super options. Nothing for a malformed line.
std::optional<MountEntry> parseMountInfoLine(const std::string& line);

// Parses a whole table; malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(const std::string& text);

// The root path of a mount point as the volume service reports it: always ending in '/'.
std::string rootOfMountPoint(const std::string& mountPoint);

// Reads the mount table of this process. False when it cannot be read.
bool readMountTable(std::vector<MountEntry>& entries, const std::string& path = "/proc/self/mountinfo");

} // namespace platform::linux_backend
