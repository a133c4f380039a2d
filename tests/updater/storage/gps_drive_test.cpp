#include "storage_fixture.h"

using namespace testsupport;

namespace {

using GpsDrive = StorageTest;

TEST_F(GpsDrive, LabelPassTakesTheLastMatchingRemovableDrive)
{
    volumes.add(home, "C", "Tarvel", "NTFS", false); // a fixed disk never counts
    const std::string e = volumes.add(home, "E", "Tarvel Summit", "FAT32", true);
    const std::string f = volumes.add(home, "F", "my TARVEL", "FAT32", true);
    volumes.add(home, "G", "TaRvEl", "FAT32", true); // only three spellings count
    (void)e;
    EXPECT_EQ(findGpsDrive(), f);
    EXPECT_EQ(recordedPauses(), (std::vector<long>{1000}));
}

TEST_F(GpsDrive, FolderPassFindsAFatDriveByItsTarvelFolder)
{
    const std::string plain = volumes.add(home, "E", "", "exFAT", true);
    const std::string shouting = volumes.add(home, "F", "", "FAT32", true);
    const std::string ntfs = volumes.add(home, "G", "", "NTFS", true);
    std::filesystem::create_directories(shouting + "TARVEL");
    std::filesystem::create_directories(ntfs + "Tarvel");
    writeText(plain + "Tarvel.txt", "a file, not a folder");
    EXPECT_EQ(findGpsDrive(), "");
    EXPECT_EQ(recordedPauses(), (std::vector<long>{1000, 1000}));

    std::filesystem::create_directories(plain + "MyTarvelData");
    EXPECT_EQ(findGpsDrive(), plain);
}

TEST_F(GpsDrive, FoundRootIsCheckedAgainAndFoundAfreshWhenItMoved)
{
    const std::string root = volumes.add(home, "E", "tarvel", "FAT", true);
    ASSERT_EQ(findGpsDrive(), root);
    recordedPauses().clear();
    EXPECT_EQ(findGpsDrive(), root);
    EXPECT_TRUE(recordedPauses().empty()); // still there: no waits the second time

    // The device came back after a flash, mounted at a suffixed folder: the old mount folder
    // is left behind (and may even still exist) but is no drive any more.
    volumes.volumes.clear();
    const std::string moved = volumes.add(home, "E1", "TARVEL", "FAT32", true);
    EXPECT_EQ(findGpsDrive(), moved);

    // Another drive mounted where the device's was is not the device's drive.
    volumes.volumes.clear();
    volumes.add(home, "E1b", "STICK", "FAT32", true);
    volumes.volumes.back().root = moved;
    EXPECT_EQ(findGpsDrive(), "");

    volumes.volumes.clear(); // unplugged
    EXPECT_EQ(findGpsDrive(), "");
}

TEST_F(GpsDrive, TheDrivePathIsCheckedBeforeUse)
{
    EXPECT_EQ(gpsDriveForUse(), ""); // never found
    const std::string root = volumes.add(home, "E", "TARVEL", "FAT32", true);
    gpsDrivePath.set(root);
    EXPECT_EQ(gpsDriveForUse(), root);
    EXPECT_TRUE(recordedPauses().empty());

    volumes.volumes.clear();
    const std::string moved = volumes.add(home, "E1", "TARVEL", "FAT32", true);
    EXPECT_EQ(gpsDriveForUse(), moved);
    EXPECT_EQ(gpsDrivePath.get(), moved);

    volumes.volumes.clear();
    EXPECT_EQ(gpsDriveForUse(), "");
    // Away for a while (a restart, a replug): found again when it is back.
    const std::string back = volumes.add(home, "E2", "TARVEL", "FAT32", true);
    EXPECT_EQ(gpsDriveForUse(), back);
    EXPECT_EQ(gpsDrivePath.get(), back);
}

TEST_F(GpsDrive, NoVolumeListFindsNothing)
{
    volumes.add(home, "E", "Tarvel", "FAT32", true);
    volumes.listFails = true;
    EXPECT_EQ(findGpsDrive(), "");
}

TEST_F(GpsDrive, EjectTakesEveryStep)
{
    const std::string root = volumes.add(home, "E", "Tarvel", "FAT32", true);
    ejectGpsDrive(root);
    EXPECT_EQ(volumes.steps, (std::vector<std::string>{"lock " + root, "dismount " + root, "allow_removal " + root,
                                                      "eject " + root}));
    EXPECT_TRUE(log.contains("Media in Drive " + root + " has been ejected safely.\r\n"));
}

TEST_F(GpsDrive, ALockThatNeverSucceedsIsTried20TimesThenDismounted)
{
    const std::string root = volumes.add(home, "E", "Tarvel", "FAT32", true);
    volumes.lockFailures = 1000;
    ejectGpsDrive(root);
    EXPECT_EQ(std::count(volumes.steps.begin(), volumes.steps.end(), "lock " + root), 20);
    EXPECT_EQ(recordedPauses(), std::vector<long>(20, 500));
    EXPECT_EQ(volumes.steps[20], "dismount " + root);
    EXPECT_TRUE(log.contains("could not be locked"));
    EXPECT_TRUE(log.contains("has been ejected safely"));

    volumes.steps.clear();
    volumes.lockFailures = 2; // a lock that succeeds on the third try stops trying
    ejectGpsDrive(root);
    EXPECT_EQ(std::count(volumes.steps.begin(), volumes.steps.end(), "lock " + root), 3);
}

TEST_F(GpsDrive, FailingStepsSayHowFarTheRemovalGot)
{
    const std::string root = volumes.add(home, "E", "Tarvel", "FAT32", true);
    volumes.ejectFails = true;
    ejectGpsDrive(root);
    EXPECT_TRUE(log.contains("Media in Drive " + root + " can be safely removed.\r\n"));
    EXPECT_FALSE(log.contains("ejected safely"));

    volumes.ejectFails = false;
    volumes.allowRemovalFails = true;
    volumes.steps.clear();
    ejectGpsDrive(root);
    EXPECT_EQ(volumes.steps.size(), 3u); // no eject without allowed removal
    EXPECT_EQ(log.count("can be safely removed"), 2u);

    volumes.dismountFails = true;
    ejectGpsDrive(root);
    EXPECT_TRUE(log.contains("Drive " + root + " could not be dismounted\r\n"));
    EXPECT_EQ(log.count("can be safely removed"), 2u);

    volumes.steps.clear();
    ejectGpsDrive(home.sub("not-mounted/")); // nothing done, nothing logged
    EXPECT_TRUE(volumes.steps.empty());
}

} // namespace
