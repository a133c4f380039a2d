// What every window gets from the shell: device commands refused and shown greyed while device
// work runs, and the decision to drop input that waited behind a long handler.

#include "shell/shell.h"
#include "shell/shell_window.h"
#include "devlink/device_info.h"
#include "shell/run_options.h"
#include "shell/window_procedure.h"

#include "recording_window.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"
#include "state/window_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

std::atomic<bool> g_workerHeld { false };
void heldWorker()
{
    while (g_workerHeld.load())
        std::this_thread::sleep_for(1ms);
}

TEST_F(WindowRules, ClosingDuringDeviceWorkAsksFirstAndOnlyYesCloses)
{
    // Idle: the close box and Exit close at once, nothing asked.
    onCloseAsked();
    EXPECT_TRUE(window.messageBoxes.empty());
    EXPECT_EQ(window.quits, 1);

    // A failed update's flags stay set after its worker ended: closing is what the rider was told.
    updateActive = 1;
    window.quits = 0;
    onCloseAsked();
    EXPECT_TRUE(window.messageBoxes.empty());
    EXPECT_EQ(window.quits, 1);
    updateActive = 0;

    g_workerHeld = true;
    startWorker(heldWorker);
    Flag* const busyFlags[] = { &updateActive, &updateThreadActive, &factoryResetActive, &languagePackActive, &jbl };
    for (Flag* busy : busyFlags) {
        *busy = 1;
        window.messageBoxes.clear();
        window.quits = 0;
        window.nextAnswer = MessageBoxAnswer::No;
        onCloseAsked();
        onCommand(kCommandExit);
        ASSERT_EQ(window.messageBoxes.size(), 2u);
        EXPECT_EQ(window.messageBoxes[0], std::string("Tarvel GPS Updater Message|") + kCloseDuringDeviceWork);
        EXPECT_EQ(window.quits, 0) << "No keeps the device work going";
        window.nextAnswer = MessageBoxAnswer::Yes;
        onCloseAsked();
        EXPECT_EQ(window.quits, 1);
        *busy = 0;
    }
    g_workerHeld = false;
    while (runningWorkers() > 0)
        std::this_thread::sleep_for(1ms);
    EXPECT_NE(window.log().find("Close declined: device work goes on"), std::string::npos);
    // Unattended runs never abandon device work.
    EXPECT_EQ(autoAnswer(kCloseDuringDeviceWork, "Tarvel GPS Updater Message", MessageBoxKind::YesNo),
              MessageBoxAnswer::No);
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
