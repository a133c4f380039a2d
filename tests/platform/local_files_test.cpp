// The local folders and the file operations the storage jobs rely on.

#include "fake_volumes.h"
#include "platform/files.h"
#include "platform/local_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using testsupport::TempFolder;

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

class Environment {
public:
    explicit Environment(const char* name) : m_name(name)
    {
        if (const char* value = std::getenv(name))
            m_saved = value, m_had = true;
    }
    ~Environment()
    {
        if (m_had)
            setenv(m_name, m_saved.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_saved;
    bool m_had = false;
};

TEST(LocalFolders, XdgFoldersAndTheirFallbacksArePrivate)
{
    Environment home("HOME"), data("XDG_DATA_HOME"), state("XDG_STATE_HOME");
    TempFolder base;
    setenv("HOME", base.sub("home").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(platform::stagingFolder(), base.sub("home/.local/share/Tarvel"));
    EXPECT_EQ(platform::temporaryPath(), base.sub("home/.local/state/"));
    EXPECT_EQ(modeOf(base.sub("home/.local/state")), 0700u);
    EXPECT_EQ(modeOf(base.sub("home/.local/share")), 0700u);

    setenv("XDG_STATE_HOME", "relative/state", 1); // not absolute: ignored, as the XDG rules say
    EXPECT_EQ(platform::temporaryPath(), base.sub("home/.local/state/"));
    setenv("XDG_STATE_HOME", base.sub("xdg-state").c_str(), 1);
    EXPECT_EQ(platform::temporaryPath(), base.sub("xdg-state/"));
    EXPECT_EQ(modeOf(base.sub("xdg-state")), 0700u);
}

TEST(LocalFiles, CopyReplacesTheTargetOnlyWhenWhole)
{
    TempFolder base;
    const std::string from = base.sub("from.bin"), to = base.sub("to.bin");
    std::ofstream(from, std::ios::binary) << std::string(200000, 'n');
    std::ofstream(to, std::ios::binary) << "old";
    ASSERT_TRUE(platform::copyFile(from, to));
    EXPECT_EQ(std::filesystem::file_size(to), 200000u);
    EXPECT_FALSE(std::filesystem::exists(to + ".part"));

    EXPECT_FALSE(platform::copyFile(base.sub("missing"), to)); // the old target stays
    EXPECT_EQ(std::filesystem::file_size(to), 200000u);
    std::filesystem::create_directories(base.sub("folder"));
    EXPECT_FALSE(platform::copyFile(from, base.sub("folder"))); // a folder is in the way
    EXPECT_FALSE(std::filesystem::exists(base.sub("folder.part")));
}

TEST(LocalFiles, StagingFileUnderALock)
{
    TempFolder base;
    platform::StagingFile file;
    ASSERT_TRUE(file.create(base.sub("stage.txt")));
    ASSERT_TRUE(file.lockRange(0, 4));
    const uint8_t bytes[] = {1, 2, 3, 4};
    EXPECT_TRUE(file.write(bytes, 4));
    EXPECT_TRUE(file.unlockRange(0, 4));
    EXPECT_TRUE(file.close());
    EXPECT_EQ(std::filesystem::file_size(base.sub("stage.txt")), 4u);
    EXPECT_FALSE(file.write(bytes, 4)); // closed
    EXPECT_FALSE(file.create(base.sub("no/such/folder/x")));
}

TEST(LocalFiles, FolderCopyAndDelete)
{
    TempFolder base;
    std::filesystem::create_directories(base.sub("a/b/c"));
    std::ofstream(base.sub("a/b/c/deep.txt")) << "deep";
    std::ofstream(base.sub("a/top.txt")) << "top";
    ASSERT_TRUE(platform::copyFolderContents(base.sub("a"), base.sub("copy")));
    EXPECT_TRUE(std::filesystem::exists(base.sub("copy/b/c/deep.txt")));
    EXPECT_TRUE(std::filesystem::exists(base.sub("copy/top.txt")));
    EXPECT_FALSE(platform::copyFolderContents(base.sub("none"), base.sub("copy2")));
    EXPECT_TRUE(platform::deleteFolder(base.sub("copy")));
    EXPECT_FALSE(std::filesystem::exists(base.sub("copy")));
    EXPECT_TRUE(platform::deleteFolder(base.sub("never-there")));
    EXPECT_EQ(platform::createFolder(base.sub("new")), platform::FolderResult::Created);
    EXPECT_EQ(platform::createFolder(base.sub("new")), platform::FolderResult::Exists);
    EXPECT_EQ(platform::createFolder(base.sub("a/top.txt/x")), platform::FolderResult::Failed);
    EXPECT_EQ(platform::joinPath("/r/", "/n"), "/r/n");
}

TEST(LocalFiles, TheUpdatersOwnFoldersAreTheUsersAlone)
{
    // The staging folder and the backup of the rider's data: 0700 whatever the umask allows.
    TempFolder base;
    const mode_t mask = ::umask(0022);
    EXPECT_EQ(platform::createFolder(base.sub("share/Tarvel")), platform::FolderResult::Created);
    EXPECT_EQ(modeOf(base.sub("share")), 0700u);
    EXPECT_EQ(modeOf(base.sub("share/Tarvel")), 0700u);
    std::filesystem::create_directories(base.sub("drive/Tarvel/Rides"));
    std::ofstream(base.sub("drive/Tarvel/Rides/r.fit")) << "ride";
    ASSERT_TRUE(platform::copyFolderContents(base.sub("drive/Tarvel"), base.sub("state/Tarvel")));
    EXPECT_EQ(modeOf(base.sub("state/Tarvel")), 0700u);
    EXPECT_EQ(modeOf(base.sub("state/Tarvel/Rides")), 0700u);
    ::umask(mask);
    EXPECT_EQ(platform::joinPath("/r", "n"), "/r/n");
}

} // namespace
