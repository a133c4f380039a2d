#include "storage_fixture.h"

#include "storage/backup.h"
#include "storage/pending_steps.h"

using namespace testsupport;

namespace {

class Steps : public StorageTest {
protected:
    std::string path() const { return localBackupFolder() + ".steps"; }
};

TEST_F(Steps, KeptForTheNextRunAndTakenOverOnceByTheSameModel)
{
    resetBeforeNordic = 1;
    reverseUpgrade = 1;
    ASSERT_TRUE(rememberPendingSteps(13));
    EXPECT_EQ(readText(path()), "type=13\nreset-disk=1\nwireless=1\nlanguage-packs=0\n");
    EXPECT_FALSE(std::filesystem::exists(path() + ".new"));

    // The next run: nothing is applied until a device of that model is met.
    resetSharedState();
    loadPendingSteps();
    EXPECT_TRUE(log.contains("An earlier run left its update of a Peak Pro unfinished: disk reset wireless update"));
    EXPECT_FALSE(isSet(resetBeforeNordic));
    PendingSteps steps;
    EXPECT_FALSE(stepsOfEarlierRunDue(11));
    EXPECT_FALSE(takeStepsOfEarlierRun(11, steps)); // a Summit GPS gets none of a Peak Pro's steps
    EXPECT_TRUE(stepsOfEarlierRunDue(13));
    ASSERT_TRUE(takeStepsOfEarlierRun(13, steps));
    EXPECT_TRUE(steps.resetDisk);
    EXPECT_TRUE(steps.wireless);
    EXPECT_FALSE(steps.languagePacks);
    EXPECT_FALSE(takeStepsOfEarlierRun(13, steps)); // once
    EXPECT_TRUE(std::filesystem::exists(path())); // until the update is finished

    forgetPendingSteps(11);
    EXPECT_TRUE(std::filesystem::exists(path()));
    forgetPendingSteps(13);
    EXPECT_FALSE(std::filesystem::exists(path()));
}

TEST_F(Steps, NoneDueRemovesTheFileAndARecordThatCannotBeReadHoldsNone)
{
    languagePacksPending = 1;
    ASSERT_TRUE(rememberPendingSteps(16));
    languagePacksPending = 0;
    ASSERT_TRUE(rememberPendingSteps(16));
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_FALSE(rememberPendingSteps(99)); // not a model this updater programs

    PendingSteps steps;
    for (const char* text : { "", "type=13", "type=3\nwireless=1\n", "type=13x\nwireless=1\n", "wireless=1\n",
             "type=13\nwireless=yes\n" }) {
        std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
        writeText(path(), text);
        loadPendingSteps();
        EXPECT_FALSE(takeStepsOfEarlierRun(13, steps)) << text;
    }
}

TEST_F(Steps, AFileThatCannotBeWrittenIsSaid)
{
    std::filesystem::create_directories(path() + ".new/inside"); // the temporary name is taken by a folder
    reverseUpgrade = 1;
    EXPECT_FALSE(rememberPendingSteps(13));
    EXPECT_TRUE(log.contains("Could not keep the update's remaining steps"));
}

} // namespace
