#include "platform/local_folders.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "";
}

// Creates every missing folder of path; the new ones get mode 0700.
void makePrivateFolders(const std::string& path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty())
            ::mkdir(part.c_str(), 0700);
        if (slash == std::string::npos)
            break;
    }
}

std::string xdgFolder(const char* variable, const char* fallback)
{
    if (const char* value = std::getenv(variable); value && value[0] == '/')
        return value;
    const std::string home = homeFolder();
    if (home.empty())
        return "";
    return home + fallback;
}

} // namespace

std::string stagingFolder()
{
    const std::string base = xdgFolder("XDG_DATA_HOME", "/.local/share");
    if (base.empty())
        return "";
    const std::string folder = base + "/Tarvel";
    makePrivateFolders(base);
    return folder;
}

void setDataHome(const std::string& folder)
{
    ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
}

void setStateHome(const std::string& folder)
{
    ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
}

std::string temporaryPath()
{
    std::string base = xdgFolder("XDG_STATE_HOME", "/.local/state");
    if (base.empty())
        return "";
    makePrivateFolders(base);
    if (base.back() != '/')
        base += '/';
    return base;
}

} // namespace platform
