#include "system_tools.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace standin {
namespace {

// The environment without the mocking library's variables.
std::vector<std::string> plainEnvironment(const std::vector<std::string>& extra = {})
{
    std::vector<std::string> env = extra;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("UMOCKDEV_", 0) == 0)
            continue;
        bool replaced = false;
        for (const std::string& added : extra)
            replaced = replaced || entry.compare(0, added.find('=') + 1, added, 0, added.find('=') + 1) == 0;
        if (replaced)
            continue;
        env.push_back(entry);
    }
    env.push_back("MTOOLS_SKIP_CHECK=1");
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// posix_spawn rather than fork: the test process is threaded and preloaded, and a child of it
// must do nothing but exec.
pid_t spawn(std::vector<std::string> argv, int outFd, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> env = plainEnvironment(extra);
    auto args = pointers(argv);
    auto envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool which(const std::string& tool)
{
    for (const char* dir : { "/usr/bin", "/usr/sbin", "/bin", "/sbin" })
        if (::access((std::string(dir) + "/" + tool).c_str(), X_OK) == 0)
            return true;
    return false;
}

void emptyFolder(const std::string& folder)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        fs::remove_all(entry.path(), ec);
}

// Copies a tree by its contents alone: the FUSE driver has no permissions or times to set.
bool copyTree(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
        const fs::path target = to / entry.path().filename();
        if (entry.is_directory(ec)) {
            if ((!fs::create_directory(target, ec) && ec) || !copyTree(entry.path(), target))
                return false;
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.close();
        if (!in || !out)
            return false;
    }
    return !ec;
}

} // namespace

std::string whyUnavailable()
{
    if (::geteuid() != 0)
        return "needs root (loop devices and FUSE mounts)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return "no /dev/fuse on this machine";
    for (const char* tool : { "losetup", "mkfs.vfat", "fusefat", "mcopy", "mdir" })
        if (!which(tool))
            return std::string(tool) + " is not installed (packages: mount dosfstools fusefat mtools)";
    return "";
}

int runTool(const std::vector<std::string>& argv, std::string* output, const std::vector<std::string>& extra)
{
    FILE* captured = output ? std::tmpfile() : nullptr;
    pid_t pid = spawn(argv, captured ? ::fileno(captured) : -1, extra);
    if (pid < 0) {
        if (captured)
            std::fclose(captured);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (captured) {
        std::rewind(captured);
        output->clear();
        char buffer[512];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, captured)) > 0)
            output->append(buffer, got);
        std::fclose(captured);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t startTool(const std::vector<std::string>& argv)
{
    return spawn(argv, -1);
}

int endTool(pid_t pid, std::chrono::milliseconds limit)
{
    if (pid <= 0)
        return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() > end)
            break;
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return -1;
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

bool mountedAt(const std::string& folder)
{
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        // id parent major:minor root mount-point ...
        size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field)
            at = line.find(' ', at + 1);
        if (at == std::string::npos)
            continue;
        const size_t end = line.find(' ', at + 1);
        if (line.substr(at + 1, end - at - 1) == folder)
            return true;
    }
    return false;
}

FatDrive::FatDrive(std::string folder, std::string work, std::string label)
    : m_folder(std::move(folder))
    , m_work(std::move(work))
    , m_label(std::move(label))
{
    while (m_folder.size() > 1 && m_folder.back() == '/')
        m_folder.pop_back();
}

FatDrive::~FatDrive()
{
    if (mountedAt(m_folder))
        ::umount2(m_folder.c_str(), MNT_DETACH);
    endTool(m_fuse, 2000ms);
    if (!m_loop.empty())
        runTool({ "losetup", "-d", m_loop });
}

bool FatDrive::create(std::string& error)
{
    std::error_code ec;
    fs::create_directories(m_folder, ec);
    fs::create_directories(m_work, ec);
    m_image = m_work + "/" + m_label + ".img";
    {
        std::ofstream image(m_image, std::ios::binary);
        image.close();
    }
    fs::resize_file(m_image, 40u << 20, ec); // room for a whole update's files
    std::string out;
    if (ec) {
        error = "cannot make " + m_image;
        return false;
    }
    if (runTool({ "losetup", "-f", "--show", m_image }, &out) != 0 || out.rfind("/dev/loop", 0) != 0) {
        error = "losetup: " + out;
        return false;
    }
    m_loop = out.substr(0, out.find('\n'));
    m_loopName = m_loop.substr(5);
    struct stat node {};
    if (::stat(m_loop.c_str(), &node) != 0) {
        error = "no node " + m_loop;
        return false;
    }
    m_minor = minor(node.st_rdev);
    return format(error);
}

bool FatDrive::format(std::string& error)
{
    std::string out;
    if (runTool({ "mkfs.vfat", "-F", "16", m_loop }, &out) != 0) {
        error = "mkfs.vfat: " + out;
        return false;
    }
    // The label goes into the boot sector only: FUSE's FAT driver shows a label entry of the
    // root folder as a file, which would hide a folder of the same name ("Tarvel").
    std::string label = m_label.substr(0, 11);
    label.resize(11, ' ');
    // Written by a tool of its own: this process may see a mocked node under the disk's name.
    if (runTool({ "sh", "-c", "printf '%s' \"$1\" | dd of=\"$2\" bs=1 seek=43 conv=notrunc status=none", "sh", label,
            m_loop }, &out)
        != 0) {
        error = "cannot label " + m_loop + ": " + out;
        return false;
    }
    return true;
}

pid_t FatDrive::startFuse(std::string& error)
{
    pid_t fuse = startTool({ "fusefat", "-f", "-o", "rw+,blkdev,fsname=" + m_loop, m_loop, m_folder });
    for (int i = 0; fuse > 0 && i < 500; ++i) {
        if (mountedAt(m_folder))
            return fuse;
        std::this_thread::sleep_for(10ms);
    }
    error = "fusefat never mounted " + m_folder;
    endTool(fuse, 100ms);
    return -1;
}

bool FatDrive::mount(const std::function<void()>& beforeVisible, std::string& error)
{
    if (mounted())
        return true;
    // The folder's files are written into the image through FUSE too (the FAT tools write
    // names that the FUSE driver reads otherwise), on a mount made before the drive is shown
    // as a USB drive: nothing takes it for the device's drive.
    std::error_code ec;
    const std::string stage = m_work + "/" + m_label + ".stage";
    fs::remove_all(stage, ec);
    fs::create_directories(stage, ec);
    // Written afresh: the FUSE driver cannot shorten a file that is there already.
    if (!format(error))
        return false;
    bool any = false;
    for (const auto& entry : fs::directory_iterator(m_folder, ec)) {
        fs::rename(entry.path(), stage + "/" + entry.path().filename().string(), ec);
        any = true;
    }
    if (any) {
        pid_t fuse = startFuse(error);
        if (fuse < 0)
            return false;
        const bool copied = copyTree(stage, m_folder);
        ::umount2(m_folder.c_str(), 0);
        endTool(fuse, 5000ms);
        if (!copied) {
            error = "cannot copy the drive's files into its image";
            copyTree(stage, m_folder); // back where they were
            return false;
        }
    }
    fs::remove_all(stage, ec);
    if (beforeVisible)
        beforeVisible();
    m_fuse = startFuse(error);
    return m_fuse > 0;
}

bool FatDrive::takeBack(std::string& error)
{
    if (!mounted())
        return true;
    if (mountedAt(m_folder)) {
        error = m_folder + " is still mounted";
        return false;
    }
    endTool(m_fuse, 5000ms);
    m_fuse = -1;
    emptyFolder(m_folder);
    std::string listing;
    if (runTool({ "mdir", "-b", "-i", m_loop, "::/" }, &listing) != 0 || listing.find("::/") == std::string::npos)
        return true; // an empty drive
    std::string out;
    if (runTool({ "mcopy", "-s", "-n", "-m", "-i", m_loop, "::*", m_folder + "/" }, &out) != 0) {
        error = "mcopy out of the image: " + out;
        return false;
    }
    return true;
}

bool FatDrive::unmount(std::string& error)
{
    if (!mounted())
        return true;
    if (mountedAt(m_folder) && ::umount2(m_folder.c_str(), 0) != 0 && ::umount2(m_folder.c_str(), MNT_DETACH) != 0) {
        error = "cannot unmount " + m_folder + ": " + std::strerror(errno);
        return false;
    }
    return takeBack(error);
}

} // namespace standin
