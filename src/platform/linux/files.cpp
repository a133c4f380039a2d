#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform {

// Creates every missing folder of path with mode 0700 (the umask may only take from it): the
// updater's own folders hold the rider's data and the firmware being staged. True when a
// folder was made.
static bool makePrivateFolders(const std::string& path, std::error_code& ec)
{
    ec.clear();
    const fs::path target(path);
    if (fs::is_directory(target, ec))
        return false;
    bool made = false;
    fs::path part;
    for (const fs::path& element : target) {
        part /= element;
        if (part.empty() || fs::is_directory(part, ec))
            continue;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            ec = std::error_code(errno, std::generic_category());
            return false;
        }
        made = true;
    }
    ec.clear();
    return made;
}

FolderResult createFolder(const std::string& path)
{
    std::error_code ec;
    if (makePrivateFolders(path, ec))
        return FolderResult::Created;
    if (fs::is_directory(path, ec))
        return FolderResult::Exists;
    return FolderResult::Failed;
}

StagingFile::~StagingFile() { close(); }

bool StagingFile::create(const std::string& path)
{
    close();
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

static bool setLock(int fd, short type, uint64_t offset, uint64_t length)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = off_t(offset);
    lock.l_len = off_t(length);
    return fcntl(fd, F_SETLK, &lock) == 0;
}

bool StagingFile::lockRange(uint64_t offset, uint64_t length)
{
    return m_fd >= 0 && setLock(m_fd, F_WRLCK, offset, length);
}

bool StagingFile::unlockRange(uint64_t offset, uint64_t length)
{
    return m_fd >= 0 && setLock(m_fd, F_UNLCK, offset, length);
}

bool StagingFile::write(const uint8_t* data, size_t length)
{
    if (m_fd < 0)
        return false;
    while (length > 0) {
        const ssize_t n = ::write(m_fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

bool StagingFile::close()
{
    if (m_fd < 0)
        return true;
    const bool synced = ::fsync(m_fd) == 0;
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    return synced && closed;
}

// Opens a new, unique temporary file in the folder of target. The name is short whatever the
// target's name: a name of the longest length the file system takes (255 bytes) would leave no
// room for a suffix. Leaves the name in temporary; -1 when no file could be made.
static int openTemporaryBeside(const std::string& target, std::string& temporary)
{
    static std::atomic<unsigned> counter { 0 };
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, ".tarvel-copy-%ld-%u", long(::getpid()), counter.fetch_add(1));
        temporary = folder + name;
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Copies the open file in to target through a temporary file renamed into place.
static bool copyOpenFile(int in, const std::string& to)
{
    std::string temporary;
    const int out = openTemporaryBeside(to, temporary);
    if (out < 0)
        return false;
    bool ok = true;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    ok = (::fsync(out) == 0) && ok;
    ok = (::close(out) == 0) && ok;
    if (ok)
        ok = ::rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

bool copyFile(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const bool ok = copyOpenFile(in, to);
    ::close(in);
    return ok;
}

bool deleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool fileExists(const std::string& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool folderExists(const std::string& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// What a folder copy leaves out, by its own type (links not followed).
static const char* skippedKind(fs::file_type type)
{
    switch (type) {
    case fs::file_type::symlink:
        return "symbolic link";
    case fs::file_type::fifo:
        return "FIFO";
    case fs::file_type::socket:
        return "socket";
    case fs::file_type::block:
    case fs::file_type::character:
        return "device";
    default:
        return "special file";
    }
}

static void noteSkipped(std::vector<SkippedEntry>* skipped, const std::string& path, fs::file_type type)
{
    if (skipped)
        skipped->push_back({ path, skippedKind(type) });
}

// A plain file of the source, opened without following a link and without waiting on a FIFO
// that took its place since the folder was listed; -1 when it is no longer a plain file.
static int openPlainFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool copyFolderContents(const std::string& from, const std::string& to, std::vector<SkippedEntry>* skipped)
{
    std::error_code ec;
    const fs::file_status source = fs::symlink_status(from, ec);
    if (fs::is_symlink(source)) {
        // A link is never followed, not even as the folder asked for: it may lead off the drive.
        noteSkipped(skipped, from, source.type());
        makePrivateFolders(to, ec);
        return !ec && fs::is_directory(fs::symlink_status(to, ec));
    }
    if (!fs::is_directory(source))
        return false;
    // Writing through a link in the target would put the files wherever it leads.
    const fs::file_status target = fs::symlink_status(to, ec);
    if (fs::is_symlink(target))
        return false;
    if (!fs::is_directory(target) && !makePrivateFolders(to, ec))
        return false;
    bool ok = true;
    // Listed with error codes: a folder that cannot be read on must fail the copy, not throw.
    std::error_code listing;
    for (fs::directory_iterator it(from, listing), end; !listing && it != end; it.increment(listing)) {
        const fs::directory_entry& entry = *it;
        const std::string path = entry.path().string();
        const std::string name = joinPath(to, entry.path().filename().string());
        std::error_code typeError;
        const fs::file_type type = entry.symlink_status(typeError).type();
        if (typeError) {
            ok = false;
        } else if (type == fs::file_type::directory) {
            ok = copyFolderContents(path, name, skipped) && ok;
        } else if (type == fs::file_type::regular) {
            const int in = openPlainFile(path);
            ok = in >= 0 && copyOpenFile(in, name) && ok;
            if (in >= 0)
                ::close(in);
        } else {
            noteSkipped(skipped, path, type);
        }
    }
    return ok && !listing;
}

bool deleteFolder(const std::string& path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
    return !ec && !fs::exists(path, ec);
}

FILE* openReplacementFile(const std::string& path, std::string& target, std::string& temporary)
{
    target = path;
    temporary.clear();
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return nullptr;
    if (exists && !S_ISREG(info.st_mode))
        return std::fopen(target.c_str(), "wb");
    std::string name = target + ".XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    mode_t mode = exists ? (info.st_mode & 07777) : 0;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    FILE* stream = ::fdopen(fd, "wb");
    if (!stream) {
        ::close(fd);
        ::unlink(name.c_str());
        return nullptr;
    }
    temporary = name;
    return stream;
}

bool syncFile(FILE* stream)
{
    return stream && ::fsync(fileno(stream)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string joinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    size_t start = 0;
    while (start < name.size() && name[start] == '/')
        ++start;
    if (folder.back() == '/')
        return folder + name.substr(start);
    return folder + "/" + name.substr(start);
}

} // namespace platform
