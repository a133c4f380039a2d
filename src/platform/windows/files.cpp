// File operations on Windows, through the W calls with the paths widened one character per
// byte. Either separator is accepted in a path; joinPath adds '\'.

#include "platform/files.h"

#include "windows/wide_text.h"

#include <windows.h>

#include <atomic>
#include <fcntl.h>
#include <io.h>
#include <string>

namespace platform {
using windows_backend::narrow;
using windows_backend::widen;

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

DWORD attributesOf(const std::string& path)
{
    return GetFileAttributesW(widen(path).c_str());
}

bool isFolder(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates every missing folder of path; true when one was made.
bool makeFolders(const std::string& path, bool& failed)
{
    failed = false;
    if (isFolder(path))
        return false;
    bool made = false;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isSeparator(path[i]))
            continue;
        const std::string part = path.substr(0, i);
        // The drive ("C:") and the empty start of a rooted path are no folders to make.
        if (part.empty() || (part.size() == 2 && part[1] == ':') || isFolder(part))
            continue;
        if (CreateDirectoryW(widen(part).c_str(), nullptr))
            made = true;
        else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            failed = true;
            return false;
        }
    }
    return made;
}

bool gone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

HANDLE osHandle(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

FolderResult createFolder(const std::string& path)
{
    bool failed = false;
    if (makeFolders(path, failed))
        return FolderResult::Created;
    if (!failed && isFolder(path))
        return FolderResult::Exists;
    return FolderResult::Failed;
}

StagingFile::~StagingFile() { close(); }

bool StagingFile::create(const std::string& path)
{
    close();
    // Shared with nobody while it is written.
    HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (m_fd < 0) {
        CloseHandle(handle);
        return false;
    }
    return true;
}

static bool rangeLock(int fd, bool lock, uint64_t offset, uint64_t length)
{
    OVERLAPPED position {};
    position.Offset = DWORD(offset & 0xFFFFFFFFu);
    position.OffsetHigh = DWORD(offset >> 32);
    const DWORD low = DWORD(length & 0xFFFFFFFFu);
    const DWORD high = DWORD(length >> 32);
    if (lock)
        return LockFileEx(osHandle(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, low, high, &position);
    return UnlockFileEx(osHandle(fd), 0, low, high, &position);
}

bool StagingFile::lockRange(uint64_t offset, uint64_t length)
{
    return m_fd >= 0 && rangeLock(m_fd, true, offset, length);
}

bool StagingFile::unlockRange(uint64_t offset, uint64_t length)
{
    return m_fd >= 0 && rangeLock(m_fd, false, offset, length);
}

bool StagingFile::write(const uint8_t* data, size_t length)
{
    if (m_fd < 0)
        return false;
    while (length > 0) {
        DWORD written = 0;
        const DWORD chunk = length > 0x40000000u ? 0x40000000u : DWORD(length);
        if (!WriteFile(osHandle(m_fd), data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

bool StagingFile::close()
{
    if (m_fd < 0)
        return true;
    const bool flushed = FlushFileBuffers(osHandle(m_fd)) != 0;
    const bool closed = _close(m_fd) == 0;
    m_fd = -1;
    return flushed && closed;
}

bool copyFile(const std::string& from, const std::string& to)
{
    const std::string temporary = to + ".part";
    if (!CopyFileW(widen(from).c_str(), widen(temporary).c_str(), FALSE))
        return false;
    if (MoveFileExW(widen(temporary).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(widen(temporary).c_str());
    return false;
}

bool deleteFile(const std::string& path)
{
    return DeleteFileW(widen(path).c_str()) || gone(GetLastError());
}

bool fileExists(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::string& path)
{
    return isFolder(path);
}

namespace {

// Calls visit(name, isFolder) for every entry of folder but "." and ".."; false when the folder
// cannot be listed or a name is not ASCII.
template <class Visit> bool listFolder(const std::string& folder, Visit visit)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(widen(joinPath(folder, "*")).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    do {
        const std::wstring wide = entry.cFileName;
        if (wide == L"." || wide == L"..")
            continue;
        std::string name;
        if (!narrow(wide, name)) {
            ok = false;
            continue;
        }
        ok = visit(name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) && ok;
    } while (FindNextFileW(find, &entry));
    const bool ended = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return ok && ended;
}

} // namespace

// A reparse point (a symbolic link or a junction) is never followed: what it names may be
// anywhere, the copied folder itself included.
bool isReparsePoint(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool copyFolderContents(const std::string& from, const std::string& to, std::vector<SkippedEntry>* skipped)
{
    if (!isFolder(from) || isReparsePoint(from) || isReparsePoint(to))
        return false;
    bool failed = false;
    makeFolders(to, failed);
    if (failed || !isFolder(to))
        return false;
    return listFolder(from, [&](const std::string& name, bool folder) {
        const std::string source = joinPath(from, name);
        const std::string target = joinPath(to, name);
        if (isReparsePoint(source)) {
            if (skipped)
                skipped->push_back({ source, "symbolic link" });
            return true;
        }
        return folder ? copyFolderContents(source, target, skipped) : copyFile(source, target);
    });
}

bool deleteFolder(const std::string& path)
{
    if (!isFolder(path))
        return attributesOf(path) == INVALID_FILE_ATTRIBUTES;
    listFolder(path, [&](const std::string& name, bool folder) {
        const std::string entry = joinPath(path, name);
        if (folder)
            return deleteFolder(entry);
        SetFileAttributesW(widen(entry).c_str(), FILE_ATTRIBUTE_NORMAL);
        return deleteFile(entry);
    });
    RemoveDirectoryW(widen(path).c_str());
    return attributesOf(path) == INVALID_FILE_ATTRIBUTES;
}

FILE* openReplacementFile(const std::string& path, std::string& target, std::string& temporary)
{
    target = path;
    temporary.clear();
    const DWORD attributes = attributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    static std::atomic<unsigned> counter { 0 };
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = target + "." + std::to_string(GetCurrentProcessId()) + "-"
            + std::to_string(counter.fetch_add(1)) + ".part";
        HANDLE handle = CreateFileW(widen(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            break;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        FILE* stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
        if (!stream) {
            if (fd >= 0)
                _close(fd);
            else
                CloseHandle(handle);
            DeleteFileW(widen(name).c_str());
            return nullptr;
        }
        temporary = name;
        return stream;
    }
    // Not a folder and no file can be made beside it (a device such as NUL): written directly.
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    return _wfopen(widen(target).c_str(), L"wb");
}

bool syncFile(FILE* stream)
{
    return stream && FlushFileBuffers(osHandle(_fileno(stream)));
}

bool replaceFile(const std::string& from, const std::string& to)
{
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

std::string joinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    size_t start = 0;
    while (start < name.size() && isSeparator(name[start]))
        ++start;
    if (isSeparator(folder.back()))
        return folder + name.substr(start);
    return folder + "\\" + name.substr(start);
}

} // namespace platform
