// The file operations over the W calls: folders, the staging file and its byte-range locks,
// copies that overwrite, recursive copy and delete, the replacing output file, and names.

#include "platform/files.h"
#include "windows/wide_text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <random>
#include <sstream>

using namespace platform;

namespace {

class WindowsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temporary[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, temporary), 0u);
        std::random_device random;
        m_root = std::string(temporary) + "tarvel-files-" + std::to_string(random());
        ASSERT_EQ(createFolder(m_root), FolderResult::Created);
    }
    void TearDown() override { EXPECT_TRUE(deleteFolder(m_root)); }

    std::string path(const std::string& name) const { return joinPath(m_root, name); }

    static void write(const std::string& file, const std::string& text)
    {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    static std::string read(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string m_root;
};

} // namespace

TEST(WindowsNames, JoinAndNarrow)
{
    EXPECT_EQ(joinPath("C:\\Tarvel", "a.txt"), "C:\\Tarvel\\a.txt");
    EXPECT_EQ(joinPath("E:\\", "Tarvel"), "E:\\Tarvel");
    EXPECT_EQ(joinPath("E:/", "/Tarvel"), "E:/Tarvel");
    EXPECT_EQ(joinPath("", "x"), "x");
    std::string out;
    EXPECT_TRUE(windows_backend::narrow(L"E:\\Tarvel", out));
    EXPECT_EQ(out, "E:\\Tarvel");
    EXPECT_FALSE(windows_backend::narrow(L"Fahrt\u00e9", out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(windows_backend::widen("E:\\\xE9"), std::wstring(L"E:\\\u00e9"));
}

TEST_F(WindowsFiles, FoldersAreMadeWithTheirParentsAndReportedWhenThere)
{
    const std::string deep = path("a\\b/c");
    EXPECT_EQ(createFolder(deep), FolderResult::Created);
    EXPECT_EQ(createFolder(deep), FolderResult::Exists);
    EXPECT_TRUE(folderExists(deep));
    write(path("file"), "x");
    EXPECT_EQ(createFolder(path("file\\below")), FolderResult::Failed);
    EXPECT_EQ(createFolder(path("file")), FolderResult::Failed);
}

TEST_F(WindowsFiles, StagingFileIsExclusiveAndItsRangesLock)
{
    StagingFile file;
    ASSERT_TRUE(file.create(path("stage.bin")));
    // Nobody else opens it while it is written.
    HANDLE other = CreateFileA(path("stage.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
    const uint8_t data[] = { 1, 2, 3, 4 };
    EXPECT_TRUE(file.lockRange(0, 4));
    EXPECT_TRUE(file.write(data, sizeof data));
    EXPECT_TRUE(file.unlockRange(0, 4));
    EXPECT_FALSE(file.unlockRange(0, 4)); // nothing locked there any more
    EXPECT_TRUE(file.close());
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.write(data, 1));
    EXPECT_EQ(read(path("stage.bin")), std::string("\x01\x02\x03\x04", 4));
    // create() replaces a file that is there.
    ASSERT_TRUE(file.create(path("stage.bin")));
    EXPECT_TRUE(file.close());
    EXPECT_EQ(read(path("stage.bin")), "");
    EXPECT_FALSE(file.create(path("missing\\stage.bin")));
}

TEST_F(WindowsFiles, CopiesOverwriteAndDeletesSucceedForWhatIsGone)
{
    write(path("from"), "new");
    write(path("to"), "old and longer");
    EXPECT_TRUE(copyFile(path("from"), path("to")));
    EXPECT_EQ(read(path("to")), "new");
    EXPECT_FALSE(fileExists(path("to.part")));
    EXPECT_FALSE(copyFile(path("nothing"), path("to")));
    EXPECT_EQ(read(path("to")), "new");
    EXPECT_TRUE(deleteFile(path("to")));
    EXPECT_FALSE(fileExists(path("to")));
    EXPECT_TRUE(deleteFile(path("to")));
    EXPECT_TRUE(deleteFile(path("no folder\\to")));
}

TEST_F(WindowsFiles, FoldersAreCopiedAndDeletedRecursivelyWithoutQuestions)
{
    ASSERT_EQ(createFolder(path("src\\Rides\\2024")), FolderResult::Created);
    write(path("src\\top.txt"), "top");
    write(path("src\\Rides\\2024\\ride.fit"), "ride");
    ASSERT_EQ(createFolder(path("dst")), FolderResult::Created);
    write(path("dst\\top.txt"), "stale");
    ASSERT_TRUE(copyFolderContents(path("src"), path("dst")));
    EXPECT_EQ(read(path("dst\\top.txt")), "top");
    EXPECT_EQ(read(path("dst\\Rides\\2024\\ride.fit")), "ride");
    EXPECT_FALSE(copyFolderContents(path("absent"), path("dst2")));
    // A read-only file does not stop the delete.
    SetFileAttributesA(path("src\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(deleteFolder(path("src")));
    EXPECT_FALSE(folderExists(path("src")));
    EXPECT_TRUE(deleteFolder(path("src")));
}

TEST_F(WindowsFiles, ReplacementFileReplacesOnlyWhenCommitted)
{
    write(path("out.bin"), "previous");
    std::string target, temporary;
    FILE* stream = openReplacementFile(path("out.bin"), target, temporary);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(target, path("out.bin"));
    ASSERT_FALSE(temporary.empty());
    std::fputs("fresh", stream);
    EXPECT_EQ(std::fflush(stream), 0);
    EXPECT_TRUE(syncFile(stream));
    std::fclose(stream);
    EXPECT_EQ(read(path("out.bin")), "previous"); // untouched until the rename
    EXPECT_TRUE(replaceFile(temporary, target));
    EXPECT_EQ(read(path("out.bin")), "fresh");
    EXPECT_FALSE(fileExists(temporary));

    EXPECT_EQ(openReplacementFile(m_root, target, temporary), nullptr); // a folder
    EXPECT_EQ(openReplacementFile(path("no folder\\x"), target, temporary), nullptr);
}
