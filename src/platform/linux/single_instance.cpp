// The single-instance lock on Linux: an flock on a file in the user's runtime folder. The lock
// belongs to the open file, so a second open in this process is refused like another process.

#include "platform/single_instance.h"

#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace platform {
namespace {
std::mutex g_mutex;
int g_fd = -1;
} // namespace

std::string singleInstanceLockPath(const std::string& name)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime && *runtime ? runtime : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder + name + ".lock";
}

bool acquireSingleInstance(const std::string& name)
{
    const std::string path = singleInstanceLockPath(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = fd;
    return true;
}

void releaseSingleInstance()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_fd < 0)
        return;
    ::flock(g_fd, LOCK_UN);
    ::close(g_fd);
    g_fd = -1;
}

} // namespace platform
