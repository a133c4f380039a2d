// One updater at a time on Windows: a named mutex, held for the life of the process (the system
// drops it when the process ends, however it ends).

#include "platform/single_instance.h"

#include "windows/wide_text.h"

#include <windows.h>

#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
HANDLE g_instance = nullptr;
} // namespace

std::string singleInstanceLockPath(const std::string& name)
{
    return name; // a mutex has a name, not a path
}

bool acquireSingleInstance(const std::string& name)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, windows_backend::widen(name).c_str());
    if (!mutex)
        return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_instance)
        CloseHandle(g_instance);
    g_instance = mutex;
    return true;
}

void releaseSingleInstance()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_instance)
        return;
    CloseHandle(g_instance);
    g_instance = nullptr;
}

} // namespace platform
