// Recovery of a device in its ROM bootloader through the dialog, the menu commands (factory
// reset with the Japanese return, erasing the keys), and the rider's data held over a restart.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "devlink/device_info.h"
#include "flash/programming.h"
#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/backup.h"
#include "storage/gps_drive.h"

#include <algorithm>
#include <filesystem>

using namespace shelltest;

namespace {

const std::string kDone = "Latest software is installed on device";

class RecoveryAndMenus : public ShellTest {
protected:
    // A click on one of the dialog's controls: a tick box toggles itself first.
    void click(int controlId)
    {
        loop->invoke([&] {
            if (controlId != kRecoveryOk && controlId != kRecoveryCancel)
                window->setRecoveryBoxTicked(controlId, !window->recoveryBoxTicked(controlId));
            onRecoveryDialogCommand(controlId);
        });
    }
    std::vector<int> ticked()
    {
        std::vector<int> ids;
        loop->invoke([&] {
            for (int id = 1000; id <= 1099; ++id)
                if (window->recoveryBoxTicked(id))
                    ids.push_back(id);
        });
        return ids;
    }
    bool boxShown(const std::string& captionAndText)
    {
        for (const auto& box : window->boxes())
            if (box == captionAndText)
                return true;
        return false;
    }
    void answerYesTo(std::vector<std::string> captions)
    {
        setAnswers([captions](const std::string& caption, const std::string& text, MessageBoxKind kind) {
            if (kind != MessageBoxKind::YesNo)
                return MessageBoxAnswer::Ok;
            if (text.find("Load Instructon page now?") != std::string::npos)
                return std::find(captions.begin(), captions.end(), "page") != captions.end()
                    ? MessageBoxAnswer::Yes
                    : MessageBoxAnswer::No;
            return std::find(captions.begin(), captions.end(), caption) != captions.end()
                ? MessageBoxAnswer::Yes
                : MessageBoxAnswer::No;
        });
    }
};

TEST_F(RecoveryAndMenus, ARomBootloaderDeviceIsRecoveredAsTheTickedModel)
{
    plugDevice("model=13,face=rom");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
        << log();
    // Two scans at start-up, one dialog.
    EXPECT_GE(logCount("idx:(0)-VID_15A2"), 2u);
    EXPECT_EQ(window->recoveryDialogsCreated, 1);
    EXPECT_EQ(logCount("WM_CREATE_RECOVERY_MODE_DLG CreateDialog"), 1u);
    EXPECT_EQ(logCount("RecoveryModeDialog WM_INITDIALOG"), 1u);
    EXPECT_EQ(statusText.get(), "Device Recovery Mode\n");
    EXPECT_EQ(ticked(), std::vector<int> { kRecoveryEnglishBox });
    EXPECT_TRUE(warningShown());

    click(kRecoveryOk); // no model yet: nothing happens
    EXPECT_TRUE(window->recoveryDialogOpen);
    EXPECT_EQ(logCount("WM_START_EMERGENCY_PROGRAM"), 0u);

    click(1013);
    click(1016);
    EXPECT_EQ(ticked(), (std::vector<int> { 1016, kRecoveryEnglishBox }));
    EXPECT_EQ(recoveryDeviceType.load(), 16);
    click(1005);
    EXPECT_EQ(ticked(), (std::vector<int> { 1005, kRecoveryEnglishBox }));
    click(1005); // unticked: no box, the type stays
    EXPECT_EQ(ticked(), std::vector<int> { kRecoveryEnglishBox });
    EXPECT_EQ(recoveryDeviceType.load(), 5);
    click(kRecoveryEnglishBox); // English cannot be cleared by itself
    EXPECT_EQ(ticked(), std::vector<int> { kRecoveryEnglishBox });
    EXPECT_EQ(recoveryVariant.load(), -99);
    click(kRecoveryJapaneseBox);
    EXPECT_EQ(ticked(), std::vector<int> { kRecoveryJapaneseBox });
    EXPECT_TRUE(log().find("RecoveryModeDialog [1060][0]-[60] checked\n") != std::string::npos);
    click(1013);
    click(kRecoveryOk);
    EXPECT_FALSE(window->recoveryDialogOpen);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_EQ(recoveryVariant.load(), 60);
    EXPECT_EQ(deviceFace(), "application");
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_EQ(sim->device().state()["application"]["raw_id"].asInt(), 73); // the Japanese Peak Pro
    EXPECT_EQ(statusText.get(), "Peak Pro connected\nVer: 14.51-1333026\nJapanese");
    EXPECT_FALSE(warningShown());
}

// A recovery cut short leaves flash that holds part of an image: the mark of the unfinished
// programming is kept on disk, the next start knows it, and the recovery is offered again.
class InterruptedRecovery : public RecoveryAndMenus {
protected:
    void recoverPeakProWith(const devsim::Fault& fault)
    {
        plugDevice("model=13,face=rom");
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
            << log();
        programCrashCount = kProgramAttempts - 1; // one attempt: the fault ends the programming
        sim->device().injectFault(fault);
        click(1013);
        click(kRecoveryOk);
        ASSERT_TRUE(waitFor([this] { return logCount("Program flash failed") == 1; })) << log();
        EXPECT_TRUE(isSet(flashIncomplete));
        EXPECT_TRUE(std::filesystem::exists(localBackupFolder() + ".flash-unfinished"));
        EXPECT_EQ(logCount("Sending bootloader reset device"), 0u);
        press(kCommandExit);
        ASSERT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
        stopUpdater();
        // A new process: only what is on disk is left of the first run.
        resetSharedState();
        forgetGpsDrive();
        eraseCrashCount = programCrashCount = resetCrashCount = 0;
        if (!sim->device().state()["present"].asBool())
            sim->device().plug();
    }
    // The second start: the mark is known, and the device in its ROM bootloader gets the
    // dialog; a whole recovery then clears the mark.
    void nextStartRecoversAgain()
    {
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
            << log();
        EXPECT_TRUE(isSet(flashIncomplete));
        EXPECT_NE(log().find("The last programming of the device did not finish"), std::string::npos);
        click(1013);
        click(kRecoveryOk);
        ASSERT_TRUE(waitDone()) << log();
        EXPECT_FALSE(isSet(flashIncomplete));
        EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".flash-unfinished"));
        EXPECT_EQ(deviceVersion(), "14.51");
    }
};

TEST_F(InterruptedRecovery, AWriteTheRomBootloaderRefusesIsOfferedAgainAtTheNextStart)
{
    devsim::Fault refuse;
    refuse.kind = devsim::FaultKind::CommandStatus;
    refuse.commandTag = 0x04; // write-memory
    refuse.status = 10200;
    recoverPeakProWith(refuse);
    ASSERT_EQ(deviceFace(), "rom");
    nextStartRecoversAgain();
}

TEST_F(InterruptedRecovery, ADeviceThatLeavesMidWriteIsOfferedTheRecoveryAgain)
{
    devsim::Fault cut;
    cut.kind = devsim::FaultKind::DisconnectInDataPhase;
    cut.afterBytes = 4096;
    cut.comesBack = false;
    recoverPeakProWith(cut);
    ASSERT_TRUE(sim->device().waitIdle(20000));
    if (deviceFace() == "rom") {
        nextStartRecoversAgain();
        return;
    }
    // The head of the image that was written starts and reads as the carried version: the
    // next start knows better and offers the firmware again; the device, which has no flash
    // bootloader of its own, returns in its ROM bootloader and the recovery is offered again.
    ASSERT_EQ(deviceVersion(), "14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();
    EXPECT_TRUE(isSet(flashIncomplete));
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
        << log();
    click(1013);
    click(kRecoveryOk);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_FALSE(isSet(flashIncomplete));
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".flash-unfinished"));
}

TEST_F(RecoveryAndMenus, TheDialogClosesWhenTheDeviceGoesOrOnCancel)
{
    plugDevice("model=10,face=rom");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
        << log();
    sim->device().unplug();
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return !window->recoveryDialogOpen; }); }))
        << log();
    EXPECT_FALSE(isSet(recoveryDialogActive));
    sim->device().plug();
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return window->recoveryDialogOpen; }); }))
        << log();
    EXPECT_EQ(window->recoveryDialogsCreated, 2);
    click(kRecoveryCancel);
    EXPECT_FALSE(window->recoveryDialogOpen);
    EXPECT_FALSE(warningShown());
    EXPECT_EQ(deviceFace(), "rom");
}

TEST_F(RecoveryAndMenus, FactoryResetOfAJapaneseDeviceReloadsItsLanguagePacks)
{
    plugDevice("model=13,variant=japanese,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_TRUE(window->menu[kCommandLanguagePacks]); // a Japanese device
    press(kCommandFactoryReset); // answered No: nothing happens
    ASSERT_TRUE(settled());
    EXPECT_FALSE(isSet(factoryResetActive));
    EXPECT_EQ(logCount("Sending factory reset command"), 0u);

    answerYesTo({ "FACTORY RESET" });
    press(kCommandFactoryReset);
    ASSERT_TRUE(waitFor([this] { return boxShown("Language Pack|Successfully Updated Language Packs."); }))
        << log();
    EXPECT_TRUE(
        boxShown("Factory Reset|Sending Factory Reset. This will take a while so do not unplug device"));
    EXPECT_TRUE(boxShown("Language Pack|Sending Command to appy NEW Language Pack. This will take a while so "
                         "do not unplug device"));
    EXPECT_TRUE(log().find(" updateButton SW_SHOW D \r\n") != std::string::npos);
    EXPECT_TRUE(driveHas("Kanji_11x12.bin"));
    EXPECT_TRUE(driveHas("Kanji_18x18.bin"));
    EXPECT_TRUE(window->visible(WindowControl::UpdateButton));
    EXPECT_FALSE(isSet(factoryResetActive));
    EXPECT_FALSE(isSet(languagePackActive));
    EXPECT_FALSE(warningShown());
}

TEST_F(RecoveryAndMenus, EraseKeysNoChangesNothingYesEndsOnTheButton)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    press(kCommandEraseKeys);
    ASSERT_TRUE(settled());
    EXPECT_FALSE(isSet(exitOnButton));
    EXPECT_TRUE(window->menu[kCommandEraseKeys]);
    EXPECT_EQ(logCount("Sending nordic erase keys command"), 0u);

    answerYesTo({ "Erase Bluetooth Encryption Keys" });
    press(kCommandEraseKeys);
    // The device restarts after the erase; once it is back the button shows again.
    ASSERT_TRUE(waitFor([this] {
        return logCount("Sending nordic erase keys command") == 1 && sim->device().state()["present"].asBool()
            && statusDetail.get() == kDone;
    })) << log();
    EXPECT_TRUE(isSet(exitOnButton));
    EXPECT_TRUE(window->visible(WindowControl::UpdateButton));
    EXPECT_EQ(window->buttonText(), "OK");
    EXPECT_TRUE(window->webPages.empty());
    EXPECT_TRUE(window->exits.empty());
    press(kCommandUpdateButton);
    ASSERT_TRUE(settled());
    EXPECT_EQ(window->exits, std::vector<int> { 0 });
}

TEST_F(RecoveryAndMenus, EraseKeysWithTheInstructionPageOpensItAndEnds)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    answerYesTo({ "Erase Bluetooth Encryption Keys", "page" });
    press(kCommandEraseKeys);
    ASSERT_TRUE(waitFor([this] { return onWindowThread([this] { return !window->exits.empty(); }); }))
        << log();
    ASSERT_EQ(window->webPages.size(), 1u);
    EXPECT_EQ(window->webPages[0], "https://support.tarvelgps.com/hc/en-us/articles/360052251793");
    EXPECT_EQ(window->exits, std::vector<int> { 0 });
}

TEST_F(RecoveryAndMenus, TheUpdateAlertOffersTheBackupGuide)
{
    plugDevice("model=14,version=14.51");
    answerYesTo({ "Update Alert" });
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    ASSERT_EQ(window->webPages.size(), 1u);
    EXPECT_EQ(window->webPages[0], "https://www.tarvelgps.com/support-gps-devicebackup.php");
    EXPECT_TRUE(window->timers.empty()); // it fired once and was killed
}

TEST_F(RecoveryAndMenus, ShowLogTogglesAndAboutListsTheCarriedVersions)
{
    plugDevice("model=14,version=14.51");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_FALSE(window->visible(WindowControl::LogWindow));
    press(kCommandShowLog);
    ASSERT_TRUE(settled());
    EXPECT_TRUE(window->visible(WindowControl::LogWindow));
    press(kCommandShowLog);
    ASSERT_TRUE(settled());
    EXPECT_FALSE(window->visible(WindowControl::LogWindow));
    press(kCommandAbout);
    ASSERT_TRUE(settled());
    ASSERT_EQ(window->boxes().back().rfind("About|", 0), 0u);
    EXPECT_NE(window->boxes().back().find("14.51"), std::string::npos);
    press(kCommandExit);
    ASSERT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
    EXPECT_EQ(window->quits, 1);
}

// The rider's data backed up in one run and restored in the next, after the rider agreed to a
// question that names the device and the date of the backup.
class HeldBackup : public RecoveryAndMenus {
protected:
    // The first run: the update of an old Peak Pro, cut off while its image is written; the
    // updater is then closed with the backup held.
    void firstRunCutOffWhileProgramming()
    {
        plugDevice("model=13,version=7.63");
        riders = ridersFiles();
        ASSERT_FALSE(riders.empty());
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitOffer()) << log();
        devsim::Fault cut;
        cut.kind = devsim::FaultKind::DisconnectInDataPhase;
        cut.afterBytes = 4096;
        cut.comesBack = false;
        sim->device().injectFault(cut);
        press(kCommandUpdateButton);
        ASSERT_TRUE(waitFor([this] { return logCount("Bootloader mode FAILED") == 1; })) << log();
        EXPECT_TRUE(isSet(backupHeld));
        EXPECT_TRUE(warningShown());
        press(kCommandExit);
        ASSERT_TRUE(loop->waitEnded(std::chrono::seconds(5)));
        stopUpdater();
        // A new process: nothing of the first run is left but what is on disk.
        resetSharedState();
        forgetGpsDrive();
        readDeviceCrashCount = 0;
        eraseCrashCount = programCrashCount = resetCrashCount = 0;
        ASSERT_TRUE(std::filesystem::exists(localBackupFolder() + ".held"));
    }
    std::map<std::string, std::string> riders;
};

TEST_F(HeldBackup, IsRestoredAfterARestartOnceTheRiderAgrees)
{
    firstRunCutOffWhileProgramming();
    std::string question;
    setAnswers([&question](const std::string& caption, const std::string& text, MessageBoxKind) {
        if (caption == "Restore Data") {
            question = text;
            return MessageBoxAnswer::Yes;
        }
        return caption == "Update Alert" ? MessageBoxAnswer::No : MessageBoxAnswer::Ok;
    });
    ASSERT_TRUE(startUpdater());
    // The head of the image that was written starts and reads as the new version; this run
    // knows the programming did not finish, offers the firmware again and finishes it, with
    // the disk reset the first run asked for. The held backup holds all the device had before
    // that reset: it is this device's, and goes back without a question.
    sim->device().plug();
    ASSERT_TRUE(waitOffer()) << log();
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_NE(log().find("Start Auto Update - RESET BEFORE NORDIC"), std::string::npos);
    EXPECT_NE(log().find("the held backup already holds the data on the GPS"), std::string::npos);
    EXPECT_EQ(question, "");
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".held"));
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".origin"));
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_FALSE(warningShown());
}

TEST_F(HeldBackup, NoKeepsItHeldForItsOwnDevice)
{
    firstRunCutOffWhileProgramming();
    // A backup held by an updater that kept no record of the update's remaining steps: no disk
    // reset is due, so the backup is only offered back.
    std::filesystem::remove(localBackupFolder() + ".steps");
    // The update is confirmed (the unfinished programming is offered again); every other
    // question takes its safe answer: the backup is not restored and not lost.
    setAnswers([](const std::string&, const std::string& text, MessageBoxKind kind) {
        if (text.rfind("Please do not unplug your device.", 0) == 0)
            return MessageBoxAnswer::Ok;
        return kind == MessageBoxKind::Ok   ? MessageBoxAnswer::Ok
            : kind == MessageBoxKind::YesNo ? MessageBoxAnswer::No
                                            : MessageBoxAnswer::Cancel;
    });
    ASSERT_TRUE(startUpdater());
    sim->device().plug();
    ASSERT_TRUE(waitOffer()) << log();
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_TRUE(log().find("Held backup of an earlier run kept in " + localBackupFolder() + ": the restore was declined")
        != std::string::npos);
    // Nothing of this run waits for it any more; it stays on disk for a later run.
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(warningShown());
    EXPECT_TRUE(std::filesystem::exists(localBackupFolder() + ".held"));
    loadHeldBackup();
    EXPECT_TRUE(heldBackupFromEarlierRun());
    const HeldBackupOrigin origin = heldBackupOrigin();
    EXPECT_TRUE(origin.known);
    EXPECT_EQ(origin.deviceType, 13);
    EXPECT_EQ(origin.modelName, "Peak Pro");
}

} // namespace
