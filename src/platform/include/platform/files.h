#pragma once
// File operations the storage jobs need: folders, a staging file written under a byte-range
// lock, copies that overwrite, and recursive copy and delete that never ask anything, and an
// output file that replaces its target only once complete. The drive's volume roots are real
// folders on every backend, so each platform has one implementation (linux/files.cpp,
// windows/files.cpp) that the virtual bus shares.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

enum class FolderResult { Created, Exists, Failed };
// Creates path and any missing parents, each new folder with mode 0700: the updater's own
// folders (staging, backup) are the user's alone.
FolderResult createFolder(const std::string& path);

// A file opened for writing by this process alone.
class StagingFile {
public:
    StagingFile() = default;
    ~StagingFile();
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;

    // Creates path for writing, replacing any file there. False when it cannot be created.
    bool create(const std::string& path);
    // Locks length bytes from offset against other writers (fcntl record lock).
    bool lockRange(uint64_t offset, uint64_t length);
    bool unlockRange(uint64_t offset, uint64_t length);
    // Writes all bytes at the current position. False on any short or failed write.
    bool write(const uint8_t* data, size_t length);
    // Flushes and closes; false when the data may not have reached the file.
    bool close();
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Copies a file, replacing the target. The target is written through a short temporary name of
// its own in its folder and renamed into place, so a failed copy never leaves a truncated target
// behind, and a target whose name is as long as the file system allows copies like any other.
bool copyFile(const std::string& from, const std::string& to);
// Deletes a file; true when it is gone (also when it was never there).
bool deleteFile(const std::string& path);
bool fileExists(const std::string& path);
bool folderExists(const std::string& path);

// An entry a folder copy left out: its full path and what it is ("symbolic link", "FIFO",
// "socket", "device", "special file").
struct SkippedEntry {
    std::string path;
    std::string kind;
};

// Copies the contents of folder from into folder to (created when missing, mode 0700, as are
// the folders below it), recursively, replacing files of the same name. Only plain files and
// folders are copied: symbolic links are never followed (from itself included) and, like
// FIFOs, sockets and devices, are left out and listed in skipped when given. A symbolic link
// in to where a folder is to be written is not written through. False when anything could not
// be copied or listed.
bool copyFolderContents(const std::string& from, const std::string& to, std::vector<SkippedEntry>* skipped = nullptr);
// Deletes a folder and everything in it; true when it is gone (also when it was never there).
bool deleteFolder(const std::string& path);

// Opens an output that replaces path only once it is complete: a new temporary file beside the
// target, which is path itself or, when path is a symbolic link, the file it names (so the link
// stays a link). The temporary file gets the permissions the target has, or would get when new.
// A target that is neither a file nor a folder (a device, a pipe) cannot be replaced: it is
// opened for writing directly and *temporary is left empty. Returns nullptr when nothing could be
// opened (also for a folder). The caller flushes, syncFile()s, closes and replaceFile()s.
FILE* openReplacementFile(const std::string& path, std::string& target, std::string& temporary);
// Pushes what was written to the stream (already flushed) to the disk.
bool syncFile(FILE* stream);
// Renames from onto to, replacing a file already there.
bool replaceFile(const std::string& from, const std::string& to);

// Joins a folder and a name with exactly one '/' between them.
std::string joinPath(const std::string& folder, const std::string& name);

} // namespace platform
