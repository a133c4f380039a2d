#pragma once
// The system tools the USB stand-in drives (losetup, mkfs.vfat, mtools, fusefat), run outside
// the mocked /sys, and a FAT image on a loop device that is mounted at one folder.

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace standin {

// Why the stand-in cannot run here (not root, no /dev/fuse, a tool missing); empty: it can.
std::string whyUnavailable();

// Runs a tool and waits for it; its exit status, or -1 when it could not start. The mocking
// library's preload is taken out of its environment: a tool sees the machine's own /dev.
// extraEnvironment: "NAME=VALUE" entries added.
int runTool(const std::vector<std::string>& argv, std::string* output = nullptr,
    const std::vector<std::string>& extraEnvironment = {});

// Starts a tool and leaves it running; its process id, or -1.
pid_t startTool(const std::vector<std::string>& argv);

// Waits up to limit for a started tool to end, then ends it (SIGTERM, then SIGKILL); always
// reaps it. Its exit status when it ended by itself, else -1.
int endTool(pid_t pid, std::chrono::milliseconds limit);

bool mountedAt(const std::string& folder);

// A FAT image labelled label, on a loop device, mounted with FUSE at folder while the stand-in
// says the drive is present. While it is not mounted the folder itself holds the drive's files,
// so that the device model, which reads and writes the folder, keeps working on them; each
// mount and each takeBack carries the files over.
class FatDrive {
public:
    FatDrive(std::string folder, std::string work, std::string label);
    ~FatDrive();
    FatDrive(const FatDrive&) = delete;
    FatDrive& operator=(const FatDrive&) = delete;

    bool create(std::string& error);
    const std::string& folder() const { return m_folder; }
    const std::string& label() const { return m_label; }
    const std::string& loopName() const { return m_loopName; } // "loop3"
    unsigned loopMinor() const { return m_minor; }

    // The folder's files into the image, the folder emptied, the image mounted on it;
    // beforeVisible runs just before the mount that the host is meant to see.
    bool mount(const std::function<void()>& beforeVisible, std::string& error);
    bool mounted() const { return m_fuse > 0; }
    // After the mount has gone (the host unmounted it, or unmount()): the FUSE process reaped
    // and the image's files back in the folder.
    bool takeBack(std::string& error);
    // Unmounts it from here (a pulled cable), then takes the files back.
    bool unmount(std::string& error);
    // Whether the mount is still in the mount table.
    bool stillMounted() const { return mountedAt(m_folder); }

private:
    pid_t startFuse(std::string& error);
    bool format(std::string& error);

    std::string m_folder, m_work, m_label, m_image, m_loop, m_loopName;
    unsigned m_minor = 0;
    pid_t m_fuse = -1;
};

} // namespace standin
