// Finding processes that keep a file system busy, over a made-up /proc tree.

#include "linux/mount_holders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using platform::linux_backend::fileSystemHeld;
namespace fs = std::filesystem;

namespace {

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarvel-proc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base = pattern;
        proc = base / "proc";
        fs::create_directories(proc / "self"); // not a process: must be passed over
        target = base / "held.bin";
        std::ofstream(target) << "x";
        struct stat info { };
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        device = info.st_dev;
    }
    void TearDown() override { fs::remove_all(base); }

    fs::path process(const char* pid)
    {
        fs::create_directories(proc / pid / "fd");
        return proc / pid;
    }

    fs::path base;
    fs::path proc;
    fs::path target;
    dev_t device = 0;
};

} // namespace

TEST_F(FakeProc, NothingHeldInAQuietTree)
{
    process("12");
    fs::create_symlink("/nonexistent/file", proc / "12" / "fd" / "3"); // vanished: ignored
    EXPECT_FALSE(fileSystemHeld(device, proc.string()));
    EXPECT_FALSE(fileSystemHeld(device, (base / "no-proc").string()));
}

TEST_F(FakeProc, AnOpenFileHoldsIt)
{
    fs::path p = process("40");
    fs::create_symlink(target, p / "fd" / "7");
    EXPECT_TRUE(fileSystemHeld(device, proc.string()));
    EXPECT_FALSE(fileSystemHeld(makedev(254, 254), proc.string())) << "another device";
}

TEST_F(FakeProc, AWorkingDirectoryHoldsIt)
{
    fs::path p = process("41");
    fs::create_directory_symlink(base, p / "cwd");
    EXPECT_TRUE(fileSystemHeld(device, proc.string()));
}

TEST_F(FakeProc, AMappedFileHoldsIt)
{
    fs::path p = process("42");
    std::ofstream(p / "maps") << "7f00-7f10 r--p 00000000 00:00 0 [heap]\n"
                              << "7f10-7f20 r--p 00000000 " << std::hex << major(device) << ":"
                              << minor(device) << std::dec << " 1234 /media/x/lib.so\n";
    EXPECT_TRUE(fileSystemHeld(device, proc.string()));

    fs::path q = process("43");
    fs::remove(p / "maps");
    std::ofstream(q / "maps") << "7f10-7f20 rw-p 00000000 " << std::hex << major(device) << ":"
                              << minor(device) << std::dec << " 0 \n"; // anonymous: inode 0
    EXPECT_FALSE(fileSystemHeld(device, proc.string()));
}

TEST(LinuxHolders, ThisProcessHoldsWhatItOpens)
{
    char pattern[] = "/tmp/tarvel-open-XXXXXX";
    int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    struct stat info { };
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_TRUE(fileSystemHeld(info.st_dev));
    ::close(fd);
    ::unlink(pattern);
}
