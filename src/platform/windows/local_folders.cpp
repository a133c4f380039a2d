// The updater's folders on Windows: the staging folder "C:\Tarvel", and the temporary folder
// (GetTempPathW) under which the rider's data is held; both elsewhere once set for the process.

#include "platform/local_folders.h"

#include "platform/files.h"
#include "windows/wide_text.h"

#include <windows.h>

#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
std::string g_dataHome;
std::string g_stateHome;

std::string withSeparator(std::string path)
{
    if (!path.empty() && path.back() != '\\' && path.back() != '/')
        path += '\\';
    return path;
}
} // namespace

std::string stagingFolder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_dataHome.empty())
        return joinPath(g_dataHome, "Tarvel");
    return "C:\\Tarvel";
}

std::string temporaryPath()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_stateHome.empty()) {
            createFolder(g_stateHome);
            return withSeparator(g_stateHome);
        }
    }
    wchar_t buffer[261] = {};
    const DWORD length = GetTempPathW(260, buffer);
    if (length == 0 || length > 260)
        return "";
    std::string path;
    if (!windows_backend::narrow(buffer, path))
        return "";
    return withSeparator(path);
}

void setDataHome(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dataHome = folder;
}

void setStateHome(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stateHome = folder;
}

} // namespace platform
