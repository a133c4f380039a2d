// What a rider's Tarvel folder may hold besides plain files: names as long as the drive allows,
// symbolic links and special files. The backup and the restore keep every plain file byte for
// byte, follow no link out of the drive and say in the log what they left out.

#include "storage_fixture.h"

#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "storage/backup.h"

#include <set>
#include <sys/stat.h>

using namespace testsupport;

namespace {

class BackupEntries : public StorageTest {
protected:
    void SetUp() override
    {
        StorageTest::SetUp();
        record.deviceType = 13;
        record.major = 7;
        record.minor = 63;
        appCallbacks.currentDevice.store(&record);
    }
    // The device's disk reset: the Tarvel folder comes back empty.
    static void resetDisk(const std::string& drive)
    {
        std::filesystem::remove_all(drive + "Tarvel");
        std::filesystem::create_directories(drive + "Tarvel");
    }
    DeviceInfo record;
};

std::set<std::string> treeOf(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.insert(std::filesystem::relative(entry.path(), folder).string());
    return names;
}

TEST_F(BackupEntries, NamesUpTo255BytesAreBackedUpAndRestoredByteForByte)
{
    const std::string drive = addDeviceDrive();
    const std::string longFolder = std::string(255, 'F');
    std::filesystem::create_directories(drive + "Tarvel/" + longFolder);
    std::vector<std::string> names = { std::string(249, 'a'), std::string(250, 'b'), std::string(254, 'c'),
        std::string(255, 'd'), longFolder + "/" + std::string(255, 'e') };
    for (size_t i = 0; i < names.size(); ++i)
        writeText(drive + "Tarvel/" + names[i], std::string(3000 + i, char('A' + i)));
    const std::set<std::string> before = treeOf(drive + "Tarvel");

    ASSERT_TRUE(saveGpsDataToLocal(record)) << log.text();
    EXPECT_FALSE(log.contains("FAILED"));
    EXPECT_EQ(treeOf(localBackupFolder()), before);
    resetDisk(drive);
    ASSERT_TRUE(saveLocalDataToGps()) << log.text();
    EXPECT_EQ(treeOf(drive + "Tarvel"), before);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(readText(drive + "Tarvel/" + names[i]), std::string(3000 + i, char('A' + i))) << names[i].size();
    EXPECT_EQ(readText(drive + "Tarvel/settings.txt"), "units=km\n");
}

TEST_F(BackupEntries, LinksAreNotFollowedAndSpecialFilesAreSkippedEachWithALogLine)
{
    const std::string drive = addDeviceDrive();
    std::filesystem::create_directories(home.sub("elsewhere"));
    writeText(home.sub("elsewhere/private.txt"), "not the rider's");
    std::filesystem::create_directory_symlink(home.sub("elsewhere"), drive + "Tarvel/Elsewhere");
    std::filesystem::create_directory_symlink("..", drive + "Tarvel/Rides/Up"); // the drive itself
    std::filesystem::create_symlink(drive + "Tarvel/settings.txt", drive + "Tarvel/settings-link.txt");
    ASSERT_EQ(::mkfifo((drive + "Tarvel/Rides/pipe").c_str(), 0600), 0);

    ASSERT_TRUE(saveGpsDataToLocal(record)) << log.text();
    EXPECT_EQ(treeOf(localBackupFolder()),
        (std::set<std::string> { "settings.txt", "Rides", "Rides/ride1.fit" }));
    for (const std::string& line : { "Skipped " + drive + "Tarvel/Elsewhere (symbolic link): not copied\r\n",
             "Skipped " + drive + "Tarvel/Rides/Up (symbolic link): not copied\r\n",
             "Skipped " + drive + "Tarvel/settings-link.txt (symbolic link): not copied\r\n",
             "Skipped " + drive + "Tarvel/Rides/pipe (FIFO): not copied\r\n" })
        EXPECT_EQ(log.count(line), 1u) << line << log.text();
    EXPECT_TRUE(log.contains("Save GPS Data To Local...DONE\r\n"));

    // The restore puts the plain files back; what was left out stays where it was.
    resetDisk(drive);
    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_EQ(treeOf(drive + "Tarvel"), (std::set<std::string> { "settings.txt", "Rides", "Rides/ride1.fit" }));
    EXPECT_EQ(readText(home.sub("elsewhere/private.txt")), "not the rider's");
}

TEST_F(BackupEntries, ARestoreNeverWritesThroughALinkOnTheDrive)
{
    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    resetDisk(drive);
    std::filesystem::create_directories(home.sub("elsewhere"));
    std::filesystem::create_directory_symlink(home.sub("elsewhere"), drive + "Tarvel/Rides");
    EXPECT_FALSE(saveLocalDataToGps());
    EXPECT_TRUE(std::filesystem::is_empty(home.sub("elsewhere")));
    EXPECT_TRUE(isSet(backupHeld)); // the rider's data is still kept here
}

} // namespace
