#include "storage_fixture.h"
#include "platform/local_folders.h"

#include "devlink/device_info.h"
#include "state/shared_state.h"
#include "storage/unfinished_flash.h"

using namespace testsupport;

namespace {

using UnfinishedFlash = StorageTest;

TEST_F(UnfinishedFlash, TheMarkOutlivesTheRunUntilAProgrammingCompletes)
{
    loadUnfinishedFlash();
    EXPECT_FALSE(isSet(flashIncomplete));

    ASSERT_TRUE(rememberUnfinishedFlash(true));
    resetSharedState(); // a later run
    loadUnfinishedFlash();
    EXPECT_TRUE(isSet(flashIncomplete));

    ASSERT_TRUE(rememberUnfinishedFlash(false));
    resetSharedState();
    loadUnfinishedFlash();
    EXPECT_FALSE(isSet(flashIncomplete));
}

TEST_F(UnfinishedFlash, ADeviceReportingTheCarriedVersionIsStillOfferedTheFirmware)
{
    DeviceInfo record;
    record.deviceType = 13;
    record.modelName = "Peak Pro";
    record.major = 14; // what a partly written image can read as
    record.minor = 51;
    NRFV = targetNrfVersion.load();
    decideUpdate(record);
    EXPECT_EQ(record.infoMessage, "Latest software is installed on device");

    ASSERT_TRUE(rememberUnfinishedFlash(true));
    decideUpdate(record);
    EXPECT_FALSE(isSet(versionMatches));
    EXPECT_EQ(record.updateButtonText, "Update to 14.51");
    rememberUnfinishedFlash(false);
}

TEST_F(UnfinishedFlash, AMarkThatCannotBeWrittenStillHoldsForThisRun)
{
    // The local folder's parent is a file: nothing can be written there.
    writeText(home.sub("state-file"), "x");
    platform::setStateHome(home.sub("state-file"));
    EXPECT_FALSE(rememberUnfinishedFlash(true));
    EXPECT_TRUE(isSet(flashIncomplete));
}

} // namespace
