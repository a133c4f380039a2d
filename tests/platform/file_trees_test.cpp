#include "platform/file_trees.h"

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using testsupport::TempFolder;
namespace fs = std::filesystem;

namespace {

void put(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileTrees, ListingNamesRegularFilesOnlyAndNeverFollowsLinks)
{
    TempFolder home;
    put(home.sub("tree/a.txt"), "a");
    put(home.sub("tree/Rides/b.fit"), "b");
    put(home.sub("outside/secret.txt"), "not the drive's");
    fs::create_directories(home.sub("tree/Empty"));
    fs::create_directory_symlink(home.sub("outside"), home.sub("tree/link"));
    fs::create_directory_symlink("..", home.sub("tree/Rides/up"));
    fs::create_symlink(home.sub("tree/a.txt"), home.sub("tree/a-link.txt"));
    std::vector<std::string> names;
    ASSERT_TRUE(platform::listFilesBelow(home.sub("tree"), names));
    EXPECT_EQ(sorted(names), (std::vector<std::string> { "Rides/b.fit", "a.txt" }));
    ASSERT_TRUE(platform::listFilesBelow(home.sub("none"), names)); // nothing there: an empty tree
    EXPECT_TRUE(names.empty());
}

TEST(FileTrees, SameContentsComparesEveryByte)
{
    TempFolder home;
    const std::string big(200000, 'x');
    put(home.sub("a"), big);
    put(home.sub("b"), big);
    std::string other = big;
    other[150001] = 'y'; // beyond the first block
    put(home.sub("c"), other);
    put(home.sub("d"), big + "z");
    put(home.sub("e"), "");
    put(home.sub("f"), "");
    EXPECT_TRUE(platform::sameFileContents(home.sub("a"), home.sub("b")));
    EXPECT_FALSE(platform::sameFileContents(home.sub("a"), home.sub("c")));
    EXPECT_FALSE(platform::sameFileContents(home.sub("a"), home.sub("d")));
    EXPECT_TRUE(platform::sameFileContents(home.sub("e"), home.sub("f")));
    EXPECT_FALSE(platform::sameFileContents(home.sub("a"), home.sub("missing")));
    fs::create_symlink(home.sub("a"), home.sub("a-link"));
    EXPECT_FALSE(platform::sameFileContents(home.sub("a"), home.sub("a-link"))); // a link is not a file
}

TEST(FileTrees, HoldingAndReplacing)
{
    TempFolder home;
    put(home.sub("backup/settings.txt"), "units=km");
    put(home.sub("backup/Rides/1.fit"), "ride 1");
    put(home.sub("drive/settings.txt"), "units=km");
    EXPECT_TRUE(platform::folderHoldsFilesOf(home.sub("backup"), home.sub("drive")));
    EXPECT_FALSE(platform::folderHoldsFilesOf(home.sub("drive"), home.sub("backup")));
    EXPECT_TRUE(platform::folderHoldsFilesOf(home.sub("backup"), home.sub("nothing")));
    EXPECT_FALSE(platform::copyWouldReplace(home.sub("backup"), home.sub("drive")));

    put(home.sub("drive/new.fit"), "new ride");
    EXPECT_FALSE(platform::folderHoldsFilesOf(home.sub("backup"), home.sub("drive")));
    EXPECT_FALSE(platform::copyWouldReplace(home.sub("backup"), home.sub("drive"))); // it only adds
    put(home.sub("drive/settings.txt"), "units=mi");
    EXPECT_TRUE(platform::copyWouldReplace(home.sub("backup"), home.sub("drive")));
    put(home.sub("drive/settings.txt"), "units=km");
    put(home.sub("drive/Rides"), "a file where a folder would go");
    EXPECT_TRUE(platform::copyWouldReplace(home.sub("backup"), home.sub("drive")));
}

TEST(FileTrees, MovingNeverReplacesAndReplacingIsOneStep)
{
    TempFolder home;
    put(home.sub("from/x.txt"), "x");
    put(home.sub("taken/y.txt"), "y");
    EXPECT_FALSE(platform::movePath(home.sub("from"), home.sub("taken")));
    EXPECT_TRUE(fs::exists(home.sub("from/x.txt")));
    EXPECT_TRUE(fs::exists(home.sub("taken/y.txt")));
    EXPECT_TRUE(platform::movePath(home.sub("from"), home.sub("to")));
    EXPECT_TRUE(fs::exists(home.sub("to/x.txt")));
    EXPECT_FALSE(fs::exists(home.sub("from")));

    put(home.sub("old"), "old");
    put(home.sub("new"), "new");
    EXPECT_TRUE(platform::replacePath(home.sub("new"), home.sub("old")));
    std::ifstream in(home.sub("old"));
    std::string text;
    in >> text;
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(platform::replacePath(home.sub("missing"), home.sub("old")));
}

} // namespace
