// The volumes' root listing: the folders directly in a root, what the drive search looks into.

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using testsupport::FakeVolumes;
using testsupport::TempFolder;

namespace fs = std::filesystem;

TEST(RootListing, NamesTheFoldersAndFolderLinksOnly)
{
    TempFolder base;
    FakeVolumes volumes;
    const std::string root = volumes.add(base, "drive", "NO NAME", "FAT32", true);
    fs::create_directories(root + "Tarvel/Maps");
    fs::create_directories(root + "Other");
    std::ofstream(root + "TarvelNotes.txt") << "a file, not a folder";
    fs::create_directory_symlink(root + "Other", root + "TarvelLink");
    fs::create_symlink(root + "TarvelNotes.txt", root + "FileLink");
    fs::create_symlink(root + "gone", root + "Dangling");

    std::vector<std::string> names { "left over" };
    ASSERT_TRUE(volumes.rootFolders(root, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> { "Other", "Tarvel", "TarvelLink" }));

    const std::string empty = volumes.add(base, "empty", "", "FAT32", true);
    EXPECT_TRUE(volumes.rootFolders(empty, names));
    EXPECT_TRUE(names.empty());
}

TEST(RootListing, ARootThatCannotBeReadIsRefused)
{
    TempFolder base;
    FakeVolumes volumes;
    std::vector<std::string> names { "left over" };
    EXPECT_FALSE(volumes.rootFolders(base.sub("missing/"), names));
    EXPECT_TRUE(names.empty());

    std::ofstream(base.sub("plain")) << "x";
    EXPECT_FALSE(volumes.rootFolders(base.sub("plain"), names));
    EXPECT_TRUE(names.empty());
}
