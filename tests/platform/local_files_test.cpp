// The local folders and the file operations the storage jobs rely on.

#include "fake_volumes.h"
#include "platform/files.h"
#include "platform/local_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// The names in a folder (links and special files included, nothing followed).
std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(LocalFiles, CopyReplacesTheTargetOnlyWhenWhole)
{
    TempFolder base;
    const std::string from = base.sub("from.bin"), to = base.sub("to.bin");
    std::ofstream(from, std::ios::binary) << std::string(200000, 'n');
    std::ofstream(to, std::ios::binary) << "old";
    ASSERT_TRUE(platform::copyFile(from, to));
    EXPECT_EQ(std::filesystem::file_size(to), 200000u);
    EXPECT_EQ(namesIn(base.path()), (std::set<std::string> { "from.bin", "to.bin" })) << "no temporary file left";

    EXPECT_FALSE(platform::copyFile(base.sub("missing"), to)); // the old target stays
    EXPECT_EQ(std::filesystem::file_size(to), 200000u);
    std::filesystem::create_directories(base.sub("folder"));
    EXPECT_FALSE(platform::copyFile(from, base.sub("folder"))); // a folder is in the way
    EXPECT_EQ(namesIn(base.path()), (std::set<std::string> { "from.bin", "to.bin", "folder" }));
    EXPECT_FALSE(platform::copyFile(from, base.sub("no/such/folder/x"))); // nowhere to write
}

TEST(LocalFiles, NamesAsLongAsTheFileSystemAllowsCopyByteForByte)
{
    // 255 bytes is the longest name ext4 and FAT32 (in UTF-16 units) take; a copy's temporary
    // name must not grow from the target's name.
    TempFolder base;
    std::filesystem::create_directories(base.sub("drive/Tarvel/" + std::string(255, 'd')));
    std::string utf8; // 85 three-byte characters: 255 bytes
    for (int i = 0; i < 85; ++i)
        utf8 += "\xE2\x82\xAC";
    const std::vector<std::string> names = { std::string(249, 'a'), std::string(250, 'b'), std::string(255, 'c'),
        std::string(251, 'e') + ".fit", utf8, "ride.fit", "ride.fit.part" };
    for (size_t i = 0; i < names.size(); ++i)
        std::ofstream(base.sub("drive/Tarvel/" + names[i]), std::ios::binary) << std::string(100 + i, char('0' + i));
    const std::string deep = "drive/Tarvel/" + std::string(255, 'd') + "/" + std::string(255, 'f');
    std::ofstream(base.sub(deep), std::ios::binary) << std::string(70000, '\x5A');

    ASSERT_TRUE(platform::copyFile(base.sub("drive/Tarvel/" + names[2]), base.sub(std::string(255, 'z'))));
    EXPECT_EQ(fileText(base.sub(std::string(255, 'z'))), std::string(102, '2'));

    ASSERT_TRUE(platform::copyFolderContents(base.sub("drive/Tarvel"), base.sub("state/Tarvel")));
    EXPECT_EQ(namesIn(base.sub("state/Tarvel")), namesIn(base.sub("drive/Tarvel"))) << "nothing more, nothing less";
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(fileText(base.sub("state/Tarvel/" + names[i])), std::string(100 + i, char('0' + i))) << names[i].size();
    EXPECT_EQ(fileText(base.sub("state/Tarvel/" + std::string(255, 'd') + "/" + std::string(255, 'f'))),
        std::string(70000, '\x5A'));

    // And back onto a drive that already holds some of them.
    std::filesystem::remove_all(base.sub("drive/Tarvel"));
    std::filesystem::create_directories(base.sub("drive/Tarvel"));
    std::ofstream(base.sub("drive/Tarvel/" + names[2])) << "older";
    ASSERT_TRUE(platform::copyFolderContents(base.sub("state/Tarvel"), base.sub("drive/Tarvel")));
    EXPECT_EQ(namesIn(base.sub("drive/Tarvel")), namesIn(base.sub("state/Tarvel")));
    EXPECT_EQ(fileText(base.sub("drive/Tarvel/" + names[2])), std::string(102, '2'));
}

TEST(LocalFiles, AFolderCopyFollowsNoLinkAndSkipsSpecialFilesSayingWhich)
{
    TempFolder base;
    const std::string drive = base.sub("drive/");
    std::filesystem::create_directories(drive + "Tarvel/Rides");
    std::filesystem::create_directories(base.sub("elsewhere"));
    std::ofstream(base.sub("elsewhere/secret.txt")) << "not the rider's";
    std::ofstream(drive + "Tarvel/Rides/r.fit") << "ride";
    std::filesystem::create_directory_symlink(base.sub("elsewhere"), drive + "Tarvel/outside");
    std::filesystem::create_directory_symlink("..", drive + "Tarvel/Rides/up");
    std::filesystem::create_symlink(base.sub("elsewhere/secret.txt"), drive + "Tarvel/secret.txt");
    std::filesystem::create_symlink(base.sub("nowhere"), drive + "Tarvel/dangling");
    ASSERT_EQ(::mkfifo((drive + "Tarvel/pipe").c_str(), 0600), 0);
    // A socket: bound and left behind.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (drive + "Tarvel/sock").c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    std::vector<platform::SkippedEntry> skipped;
    // A FIFO opened for reading would wait for a writer for ever: the copy ends at once.
    ASSERT_TRUE(platform::copyFolderContents(drive + "Tarvel", base.sub("state/Tarvel"), &skipped));
    EXPECT_EQ(namesIn(base.sub("state/Tarvel")), (std::set<std::string> { "Rides" }));
    EXPECT_EQ(namesIn(base.sub("state/Tarvel/Rides")), (std::set<std::string> { "r.fit" }));
    EXPECT_EQ(fileText(base.sub("state/Tarvel/Rides/r.fit")), "ride");
    std::set<std::string> said;
    for (const platform::SkippedEntry& entry : skipped)
        said.insert(entry.path + " " + entry.kind);
    EXPECT_EQ(said,
        (std::set<std::string> { drive + "Tarvel/outside symbolic link", drive + "Tarvel/Rides/up symbolic link",
            drive + "Tarvel/secret.txt symbolic link", drive + "Tarvel/dangling symbolic link",
            drive + "Tarvel/pipe FIFO", drive + "Tarvel/sock socket" }));
    // Without a list the copy is the same.
    ASSERT_TRUE(platform::copyFolderContents(drive + "Tarvel", base.sub("state/Tarvel2")));
    EXPECT_EQ(namesIn(base.sub("state/Tarvel2")), (std::set<std::string> { "Rides" }));

    // A folder asked for that is itself a link: not followed, an empty copy.
    std::filesystem::create_directory_symlink(base.sub("elsewhere"), base.sub("drive2"));
    skipped.clear();
    ASSERT_TRUE(platform::copyFolderContents(base.sub("drive2"), base.sub("state/Tarvel3"), &skipped));
    EXPECT_TRUE(std::filesystem::is_empty(base.sub("state/Tarvel3")));
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, base.sub("drive2"));

    // A link in the target where a folder goes is not written through.
    std::filesystem::create_directories(base.sub("restore/Tarvel"));
    std::filesystem::create_directory_symlink(base.sub("elsewhere"), base.sub("restore/Tarvel/Rides"));
    EXPECT_FALSE(platform::copyFolderContents(base.sub("state/Tarvel"), base.sub("restore/Tarvel")));
    EXPECT_FALSE(std::filesystem::exists(base.sub("elsewhere/r.fit")));
    EXPECT_EQ(namesIn(base.sub("elsewhere")), (std::set<std::string> { "secret.txt" }));
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
