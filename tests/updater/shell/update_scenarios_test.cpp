// The updater's whole job on the simulated device, driven through the window thread as a rider
// would: the status lines in the order the rider reads them, the key log lines, the flags at
// the end, and what the device holds afterwards.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/backup.h"

#include <filesystem>
#include <thread>

using namespace shelltest;

namespace {

const std::string kNoDevice = "Please connect your\nTarvel GPS Device";
const std::string kDone = "Latest software is installed on device";

// The flags of an idle updater after a finished job.
void expectIdleFlags()
{
    EXPECT_FALSE(isSet(updateActive));
    EXPECT_FALSE(isSet(updateThreadActive));
    EXPECT_FALSE(isSet(reverseUpgrade));
    EXPECT_FALSE(isSet(jbl));
    EXPECT_FALSE(isSet(factoryResetActive));
    EXPECT_FALSE(isSet(languagePackActive));
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(isSet(resetBeforeNordic));
    EXPECT_FALSE(warningShown());
}

#define EXPECT_IN_ORDER(have, ...)                                                                           \
    do {                                                                                                     \
        std::string missing;                                                                                 \
        EXPECT_TRUE(inOrder(have, std::vector<std::string> { __VA_ARGS__ }, &missing))                       \
            << "missing or out of order: " << missing;                                                       \
    } while (0)

class UpdateScenarios : public ShellTest {
protected:
    // Plugs the device, starts the updater, presses the offered update and waits for the end.
    void runUpdate(const std::string& description, const std::string& offer)
    {
        plugDevice(description);
        riders = ridersFiles();
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitOffer()) << log();
        EXPECT_EQ(window->buttonText(), offer);
        EXPECT_TRUE(warningShown() == false);
        press(kCommandUpdateButton);
        ASSERT_TRUE(waitDone()) << log();
    }
    // The road of a reverse upgrade, as 1.6's table orders it, for a model.
    void expectUpdateRoad(const std::string& model, const std::string& before, const std::string& after)
    {
        EXPECT_IN_ORDER(firstLines(), kNoDevice, model + " connected\nVer: " + before,
            model + " connected\nUpdating", model + " connected\nErasing",
            model + " connected\nProgramming GPS Firmware", model + " WAIT", model + " Flashing success",
            model + " connected\nVer: " + after);
        EXPECT_IN_ORDER(secondLines(), "Working...", "Updating drivers", "Updating drivers\n35% done",
            "Updating drivers\n70% done", "Step 2 of 3\nStarted", "Programming...Do not unplug",
            "Flashing\n25% done", "Flashing\n50% done", "Flashing\n75% done", "Not Done Yet", "Working...",
            kDone);
        EXPECT_EQ(secondLines().back(), kDone);
        EXPECT_EQ(firstLines().back(), model + " connected\nVer: " + after);
        EXPECT_TRUE(log().find(" Regular -=FORCE REVERSE UPGRADE=- ") != std::string::npos);
        EXPECT_IN_ORDER(std::vector<std::string>(logLines()), "REVERSE UPGRADE REQUIRED\r\n",
            "updateFirmware\r\n", "deviceScan C END\r\n", "- DBT_DEVICEARRIVAL - in boot loader mode\r\n",
            "\r\n Start Auto Update - NORDIC\r\n", "WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n");
        EXPECT_EQ(logCount("- startUpdateWorkerThread"), 1u);
        EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
        EXPECT_EQ(logCount("- Nordic Thread"), 1u);
        EXPECT_EQ(logCount("Already Update Thread Active"), 0u);
        EXPECT_TRUE(window->visible(WindowControl::UpdateButton));
        EXPECT_FALSE(window->visible(WindowControl::ProgressBar));
        EXPECT_EQ(window->buttonText(), "OK");
        EXPECT_EQ(deviceFace(), "application");
        expectIdleFlags();
    }
    // The log cut into the pieces the updater wrote (each ends with its own line end).
    std::vector<std::string> logLines() const
    {
        std::vector<std::string> pieces;
        const std::string text = log();
        size_t start = 0;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '\n') {
                pieces.push_back(text.substr(start, at + 1 - start));
                start = at + 1;
            }
        }
        // Pieces that begin with a line end belong together with what follows them.
        std::vector<std::string> joined;
        for (size_t i = 0; i < pieces.size(); ++i) {
            if ((pieces[i] == "\r\n" || pieces[i] == "\n") && i + 1 < pieces.size()) {
                joined.push_back(pieces[i] + pieces[i + 1]);
                joined.push_back(pieces[i + 1]);
                ++i;
            } else {
                joined.push_back(pieces[i]);
            }
        }
        return joined;
    }
    std::map<std::string, std::string> riders;
};

TEST_F(UpdateScenarios, StandardSummitAt763)
{
    runUpdate("model=11,version=7.63,nrf=1.10.31.39", "Update to 14.51");
    expectUpdateRoad("Summit GPS", "7.63-1031039\n", "14.51-1333026\n");
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_EQ(deviceNrf(), "2.13.33.26");
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_FALSE(driveHas("Kanji_19x19.bin"));
    // The update alert asked once, and No opened nothing.
    int alerts = 0;
    for (const auto& box : window->boxes())
        alerts += box.rfind("Update Alert|", 0) == 0;
    EXPECT_EQ(alerts, 1);
    EXPECT_TRUE(window->webPages.empty());
    // The done screen's OK ends the program.
    press(kCommandUpdateButton);
    EXPECT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
}

TEST_F(UpdateScenarios, JapaneseSummitColorGetsItsLanguagePacksAfterTheWirelessUpdate)
{
    runUpdate("model=12,variant=japanese,version=7.63,nrf=1.10.31.39", "Update to 14.51");
    expectUpdateRoad("Summit Color", "7.63-1031039\nJapanese", "14.51-1333026\nJapanese");
    EXPECT_IN_ORDER(secondLines(), "Working...", "Language Pack summit done!", kDone);
    const size_t wireless = log().find("Nordic Start C gcbn:");
    ASSERT_NE(wireless, std::string::npos) << log();
    EXPECT_LT(wireless, log().find("Kanji", wireless));
    EXPECT_LT(log().find("Kanji", wireless), log().find("fully upgraded TEST PASS"));
    EXPECT_TRUE(driveHas("Kanji_19x19.bin"));
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_EQ(sim->device().state()["application"]["raw_id"].asInt(), 72);
    EXPECT_EQ(ridersFiles(), riders);
}

TEST_F(UpdateScenarios, StandardSummitColorGetsNoLanguagePacks)
{
    runUpdate("model=12,version=7.63,nrf=1.10.31.39", "Update to 14.51");
    expectUpdateRoad("Summit Color", "7.63-1031039\n", "14.51-1333026\n");
    EXPECT_FALSE(driveHas("Kanji_19x19.bin"));
    for (const auto& line : secondLines())
        EXPECT_EQ(line.find("Language Pack"), std::string::npos) << line;
}

// Its wireless chip at the first models' build is behind the build it carries: the update
// takes it there and ends on the done screen (it used to stop after the flash, waiting).
TEST_F(UpdateScenarios, RidgeEasy2AtTheFirstModelsWirelessBuildIsTakenToItsOwn)
{
    runUpdate("model=16,version=12.40,nrf=1.10.31.39", "Update to 14.31");
    expectUpdateRoad("Ridge Easy 2", "12.40-1031039\n", "14.31-1333026\n");
    EXPECT_EQ(deviceVersion(), "14.31");
    EXPECT_EQ(deviceNrf(), "2.13.33.26");
    EXPECT_EQ(ridersFiles(), riders);
}

TEST_F(UpdateScenarios, JapaneseSprigColorGetsNoLanguagePacks)
{
    runUpdate("model=7,variant=japanese,version=7.50,nrf=1.10.30.1", "Update to 7.63");
    expectUpdateRoad("Sprig Color", "7.50-1030001\nJapanese", "7.63-1031039\nJapanese");
    EXPECT_EQ(deviceVersion(), "7.63");
    EXPECT_EQ(deviceNrf(), "1.10.31.39");
    EXPECT_FALSE(driveHas("Kanji_11x12.bin"));
    EXPECT_FALSE(driveHas("Kanji_18x18.bin"));
}

TEST_F(UpdateScenarios, OldPeakProKeepsTheRidersDataThroughTheDiskReset)
{
    runUpdate("model=13,version=7.63,nrf=1.10.31.39", "Update to 14.51");
    ASSERT_FALSE(riders.empty());
    expectUpdateRoad("Peak Pro", "7.63-1031039\n", "14.51-1333026\n");
    EXPECT_IN_ORDER(
        secondLines(), "Not Done Yet", "Resetting GPS Disk...", "Working...", "Restoring Data...", kDone);
    EXPECT_IN_ORDER(logLines(), "Save GPS Data To Local...DONE\r\n",
        "\r\n Start Auto Update - RESET BEFORE NORDIC\r\n", "\r\n Start Auto Update - NORDIC\r\n",
        "Save Local Data To GPS...DONE\r\n");
    EXPECT_EQ(logCount("\r\nDBT_DEVICEARRIVAL\r\n") >= 2, true); // it arrived again after the disk reset
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".held"));
    // A backup made in this run is restored without asking.
    for (const auto& box : window->boxes())
        EXPECT_EQ(box.rfind("Restore Data|", 0), std::string::npos);
}

TEST_F(UpdateScenarios, ADeviceAlreadyUpToDateShowsTheDoneScreenAtOnce)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_EQ(statusText.get(), "Ridge Plus connected\nVer: 14.51-1333026\n");
    EXPECT_EQ(window->buttonText(), "OK");
    EXPECT_TRUE(window->visible(WindowControl::UpdateButton));
    EXPECT_EQ(logCount("startUpdateWorkerThread"), 0u);
    EXPECT_EQ(window->menu[kCommandFactoryReset], true);
    EXPECT_EQ(window->menu[kCommandLanguagePacks], false);
    EXPECT_EQ(window->menu[kCommandLoadJapanFirmware], false);
    EXPECT_EQ(window->menu[kCommandLoadStandardFirmware], false);
    expectIdleFlags();
    press(kCommandUpdateButton);
    ASSERT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
    EXPECT_EQ(window->quits, 1);
}

TEST_F(UpdateScenarios, NewerFirmwareAsksAndCancelChangesNothing)
{
    plugDevice("model=11,version=15.10");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();
    setAnswers([](const std::string& caption, const std::string&, MessageBoxKind kind) {
        return caption.empty() && kind == MessageBoxKind::OkCancel ? MessageBoxAnswer::Cancel
                                                                   : MessageBoxAnswer::No;
    });
    press(kCommandUpdateButton);
    ASSERT_TRUE(settled());
    ASSERT_FALSE(window->boxes().empty());
    EXPECT_EQ(window->boxes().back(),
        "|This updater contains older software than your device, are you sure you want to use old software?");
    EXPECT_EQ(deviceVersion(), "15.10");
    EXPECT_EQ(logCount("startUpdateWorkerThread"), 0u);
    EXPECT_EQ(window->buttonText(), "Update to 14.51");
    expectIdleFlags();
}

TEST_F(UpdateScenarios, TwoQuickForceUpdatesStartOneWorker)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    // The second press comes while the first worker waits its first second.
    actAtPause(
        1000, [] { return isSet(updateThreadActive); },
        [this] {
            for (int i = 0; i < 1000 && logCount("refused: device work is under way") == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
    press(kCommandForceUpdate);
    press(kCommandForceUpdate);
    ASSERT_TRUE(waitFor([this] { return logCount("fully upgraded TEST PASS") >= 2 && !isSet(updateActive); }))
        << log();
    // The second press comes while device work is under way: the shell refuses it before it
    // reaches the force update (every window gets that refusal from the shell).
    EXPECT_EQ(logCount(" Force -=FORCE REVERSE UPGRADE=- "), 1u);
    EXPECT_EQ(logCount("Command 32778 refused: device work is under way"), 1u);
    EXPECT_EQ(logCount("\r\n- Already Update Thread Active\r\n"), 0u);
    EXPECT_EQ(logCount("- startUpdateWorkerThread"), 1u);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
    EXPECT_EQ(statusDetail.get(), kDone);
    EXPECT_EQ(deviceVersion(), "14.51");
    expectIdleFlags();
}

TEST_F(UpdateScenarios, ASecondInstanceIsRefused)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    EXPECT_FALSE(::startUpdater());
    ASSERT_TRUE(waitDone()) << log(); // the first runs on unaffected
    press(kCommandExit);
    ASSERT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
    EXPECT_TRUE(::startUpdater()); // the lock went with the window
}

} // namespace
