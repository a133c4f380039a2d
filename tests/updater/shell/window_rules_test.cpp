// What every window gets from the shell: device commands refused and shown greyed while device
// work runs, and the decision to drop input that waited behind a long handler.

#include "shell/shell.h"
#include "shell/shell_window.h"
#include "devlink/device_info.h"
#include "shell/window_procedure.h"

#include "recording_window.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"
#include "state/window_messages.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

const int kDeviceCommands[] = { kCommandFactoryReset, kCommandForceUpdate, kCommandEraseKeys, kCommandLanguagePacks };

class WindowRules : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        resetMenuState();
        installAppCallbacks();
        window.nextAnswer = MessageBoxAnswer::No;
        // An idle application-mode device of the Japanese build: every device entry enabled.
        ishf = 1;
        deviceInfo.dlv = 60;
        updateMenuState();
    }
    void TearDown() override
    {
        resetSharedState();
        resetMenuState();
    }
    testsupport::RecordingWindow window;
};

TEST_F(WindowRules, DeviceCommandsAreRefusedAndGreyedWhileDeviceWorkRuns)
{
    Flag* const busyFlags[] = { &updateActive, &updateThreadActive, &factoryResetActive, &languagePackActive, &jbl };
    for (Flag* busy : busyFlags) {
        *busy = 1;
        EXPECT_TRUE(deviceWorkUnderWay());
        for (int id : kDeviceCommands) {
            SCOPED_TRACE(id);
            EXPECT_TRUE(menuItemEnabled(id)); // the shell's own state is kept for afterwards
            EXPECT_FALSE(menuEntryChoosable(id));
            // Chosen anyway (an accelerator, a menu opened before the work began): nothing asked,
            // nothing started.
            onCommand(id);
            EXPECT_TRUE(window.messageBoxes.empty());
            EXPECT_FALSE(isSet(reverseUpgrade));
            EXPECT_EQ(runningWorkers(), 0);
        }
        // Show log, About and Exit stay choosable.
        EXPECT_TRUE(menuEntryChoosable(kCommandShowLog));
        EXPECT_TRUE(menuEntryChoosable(kCommandAbout));
        EXPECT_TRUE(menuEntryChoosable(kCommandExit));
        *busy = 0;
    }
    EXPECT_NE(window.log().find("refused: device work is under way"), std::string::npos);
}

TEST_F(WindowRules, IdleDeviceCommandsRunAndDisabledEntriesStayRefused)
{
    EXPECT_FALSE(deviceWorkUnderWay());
    for (int id : kDeviceCommands)
        EXPECT_TRUE(menuEntryChoosable(id)) << id;
    // The factory reset runs: its question comes (answered No, so nothing more happens).
    onCommand(kCommandFactoryReset);
    ASSERT_EQ(window.messageBoxes.size(), 1u);
    EXPECT_EQ(window.messageBoxes[0], "FACTORY RESET|Do you want to restore factory defaults?");
    // The two LOAD FIRMWARE entries are never choosable, whatever the menu says of them.
    EXPECT_FALSE(menuEntryChoosable(kCommandLoadStandardFirmware));
    EXPECT_FALSE(menuEntryChoosable(kCommandLoadJapanFirmware));
    // A standard-build device: language packs disabled, and refused when chosen anyway.
    deviceInfo.dlv = 0;
    updateMenuState();
    EXPECT_FALSE(menuEntryChoosable(kCommandLanguagePacks));
    onCommand(kCommandLanguagePacks);
    EXPECT_EQ(window.messageBoxes.size(), 1u);
}

TEST(StaleInput, DroppedOnlyAfterALongHandlerThatReadNoInput)
{
    EXPECT_FALSE(dropInputQueuedDuring(0ms, false));
    EXPECT_FALSE(dropInputQueuedDuring(kStaleInputAfter, false));
    EXPECT_TRUE(dropInputQueuedDuring(kStaleInputAfter + 1ms, false));
    EXPECT_TRUE(dropInputQueuedDuring(45s, false));
    // A handler that showed a message box read the rider's input itself: nothing stale is left.
    EXPECT_FALSE(dropInputQueuedDuring(45s, true));
}

} // namespace
