#include "linux/mount_holders.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace platform::linux_backend {
namespace {

bool onDevice(const std::string& path, dev_t device)
{
    struct stat info { };
    // stat follows the /proc link to the open object itself, deleted or not.
    return ::stat(path.c_str(), &info) == 0 && info.st_dev == device;
}

bool isNumber(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name)
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            return false;
    return true;
}

bool anyOpenFileOn(const std::string& fdFolder, dev_t device)
{
    DIR* folder = ::opendir(fdFolder.c_str());
    if (!folder)
        return false;
    bool held = false;
    while (dirent* entry = ::readdir(folder)) {
        if (isNumber(entry->d_name) && onDevice(fdFolder + "/" + entry->d_name, device)) {
            held = true;
            break;
        }
    }
    ::closedir(folder);
    return held;
}

// A maps line: "start-end perms offset MAJ:MIN inode path", the device in hexadecimal.
bool anyMappingOn(const std::string& mapsPath, dev_t device)
{
    FILE* maps = std::fopen(mapsPath.c_str(), "re");
    if (!maps)
        return false;
    bool held = false;
    char line[4096];
    while (!held && std::fgets(line, sizeof(line), maps)) {
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*s %*s %*s %x:%x %lu", &major, &minor, &inode) == 3 && inode != 0
            && makedev(major, minor) == device)
            held = true;
    }
    std::fclose(maps);
    return held;
}

} // namespace

bool fileSystemHeld(dev_t device, const std::string& procRoot)
{
    DIR* proc = ::opendir(procRoot.c_str());
    if (!proc)
        return false;
    bool held = false;
    while (!held) {
        dirent* entry = ::readdir(proc);
        if (!entry)
            break;
        if (!isNumber(entry->d_name))
            continue;
        std::string process = procRoot + "/" + entry->d_name;
        held = onDevice(process + "/cwd", device) || onDevice(process + "/root", device)
            || anyOpenFileOn(process + "/fd", device) || anyMappingOn(process + "/maps", device);
    }
    ::closedir(proc);
    return held;
}

} // namespace platform::linux_backend
