// The updater's folders on Windows: the staging folder "C:\Tarvel", and the temporary folder
// (GetTempPathW) under which the rider's data is held.

#include "platform/local_folders.h"

#include "windows/wide_text.h"

#include <windows.h>

namespace platform {

std::string stagingFolder()
{
    return "C:\\Tarvel";
}

std::string temporaryPath()
{
    wchar_t buffer[261] = {};
    const DWORD length = GetTempPathW(260, buffer);
    if (length == 0 || length > 260)
        return "";
    std::string path;
    if (!windows_backend::narrow(buffer, path))
        return "";
    if (path.back() != '\\' && path.back() != '/')
        path += '\\';
    return path;
}

} // namespace platform
