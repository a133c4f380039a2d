// The window thread's side of an update: the button, the starters of the workers, the
// device-information message with the done screen, and the continuation on the device's
// return after a flash.

#include "held_backup_restore.h"
#include "shell.h"
#include "shell_window.h"

#include "devlink/device_info.h"
#include "devlink/service_commands.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "storage/backup.h"
#include "storage/pending_steps.h"

#include <cstdio>

namespace {

constexpr int kVersionQueryAttempts = 3;

bool queryNordicVersion()
{
    for (int attempt = 0; attempt < kVersionQueryAttempts; ++attempt)
        if (getNordicVersion())
            return true;
    return false;
}

std::string doneConnectedText()
{
    char text[512];
    const long nrf = NRFV.load();
    const char* name = deviceInfo.modelName.c_str();
    if (recordVariant(deviceInfo) == kJapaneseVariant) {
        if (nrf > 0)
            std::snprintf(text, sizeof text, "%.40s connected\nVer: %d.%d-%li\nJapanese", name,
                deviceInfo.major, deviceInfo.minor, nrf);
        else
            std::snprintf(text, sizeof text, "%.40s connected\nVer: %d.%d\nJapanese", name, deviceInfo.major,
                deviceInfo.minor);
    } else {
        if (nrf > 0)
            std::snprintf(text, sizeof text, "%.40s connected\nVer: %d.%2.2d-%li\n", name, deviceInfo.major,
                deviceInfo.minor, nrf);
        else
            std::snprintf(text, sizeof text, "%.40s connected\nVer: %d.%2.2d\n", name, deviceInfo.major,
                deviceInfo.minor);
    }
    return text;
}

// The restore failed: the update itself is done, the rider's data is still on this computer,
// and the status lines say where and how to get it back (no done screen over them).
void showRestoreFailed()
{
    logLine("WM_ON_DEVICE_INFO_READ - fully upgraded, the data was not restored\r\n");
    reportStatus(0, "Could not restore your data to the GPS.", heldBackupAdvice().c_str());
    changeRecord(deviceInfo, [](DeviceInfo& record) { record.updateButtonText.clear(); });
    updateActive = 0;
    forgetPendingSteps(deviceInfo.deviceType);
    showProgress(false);
    setButtonLabel("OK");
    showButton(true);
    repaintWindow();
}

void showDoneScreen()
{
    showButton(false);
    showProgress(false);
    if (isSet(backupHeld) && !restoreHeldBackup()) {
        showRestoreFailed();
        return;
    }
    restoreOrTellOfBackupSetAside();
    forgetPendingSteps(deviceInfo.deviceType);
    const std::string connected = doneConnectedText();
    logLine("WM_ON_DEVICE_INFO_READ - fully upgraded TEST PASS\r\n");
    changeRecord(deviceInfo, [](DeviceInfo& record) {
        record.infoMessage = "Latest software is installed on device";
        record.updateButtonText.clear();
    });
    statusDetail.set(deviceInfo.infoMessage);
    updateActive = 0;
    statusText.set(connected);
    showButton(true);
    showProgress(false);
    repaintWindow();
}

bool runsCarriedFirmware()
{
    return deviceInfo.major == deviceInfo.catalogRow[0] && deviceInfo.minor == deviceInfo.catalogRow[1];
}

// An earlier run flashed this model and was interrupted before the steps after the flash
// (disk reset, wireless update, language packs): they are due in the same order as that run
// would have taken them, whatever the device's wireless version now reads.
bool takeStepsLeftByEarlierRun()
{
    PendingSteps steps;
    if (!runsCarriedFirmware() || !takeStepsOfEarlierRun(deviceInfo.deviceType, steps))
        return false;
    logAndDebug("\r\n Start Auto Update - RESUMING AN UNFINISHED UPDATE\r\n");
    reverseUpgrade = 1;
    if (steps.resetDisk)
        resetBeforeNordic = 1;
    if (steps.languagePacks)
        languagePacksPending = 1;
    return true;
}

// The device-information message of a device an earlier run left half updated, with no work of
// this run under way: the update goes on from where that run stopped.
bool resumeUpdateOfEarlierRun()
{
    // A device just back from its bootloader (jbl) is taken over by its arrival's continuation.
    if (isSet(updateActive) || isSet(updateThreadActive) || isSet(reverseUpgrade) || isSet(flashIncomplete)
        || isSet(bootloaderThreadActive) || isSet(jbl) || !isSet(ishf) || !takeStepsLeftByEarlierRun())
        return false;
    updateActive = 1;
    autoUpdateContinuation();
    updateMenuState();
    return true;
}

} // namespace

void startUpdateWorker()
{
    updateActive = 1;
    repaintWindow();
    showButton(false);
    showProgress(true);
    startWorker(startUpdateWorkerThread);
}

void startUpdateNordic()
{
    updateActive = 1;
    repaintWindow();
    showButton(false);
    showProgress(true);
    startWorker(nordicThread);
}

void requestUpdate(const char* logText)
{
    gcbn = recordVariant(deviceInfo) == kJapaneseVariant ? kJapaneseVariant : 0;
    reverseUpgrade = 1;
    logLine(logText);
    startUpdateWorker();
}

void onUpdateButton()
{
    if (isSet(exitOnButton)) {
        if (WindowPort* window = mainWindow())
            window->exitProcess(0);
        return;
    }
    const std::string label = deviceInfo.updateButtonText;
    if (label.size() >= 6 && label.compare(0, 6, "Update") == 0) {
        if (ask(deviceInfo.confirmText.c_str(), "", MessageBoxKind::OkCancel, MessageBoxIcon::Question)
            == MessageBoxAnswer::Ok)
            requestUpdate(" Regular -=FORCE REVERSE UPGRADE=- ");
        return;
    }
    // No update on offer: the button (labelled "OK") closes the program.
    if (WindowPort* window = mainWindow())
        window->quit();
}

void onGpsDeviceInfoRead()
{
    logLinef("\n -- onGpsDeviceInfoRead [%li][%i][%i] \n", long(NRFV.load()), int(reverseUpgrade.load()),
        int(updateActive.load()));
    if (NRFV.load() > 0 && isSet(reverseUpgrade) && !isSet(updateActive)) {
        logLine("\n -- onGpsDeviceInfoRead REVERSE UPGRADE TEST-- \n");
        if (isSet(versionMatches)) {
            logLine("\n -- onGpsDeviceInfoRead REVERSE UPGRADE CONTINUE-- \n");
            gcbn = recordVariant(deviceInfo) == kJapaneseVariant ? kJapaneseVariant : 0;
            logLine("\n -- onGpsDeviceInfoRead startUpdateNordic - \n");
            startUpdateNordic();
            return;
        }
    }
    if (isSet(ADF)) {
        logLine("updateButton SW_SHOW B SUPPRESS normal display mod\n");
        showButton(false);
    } else {
        logLine("updateButton SW_SHOW B normal display mod\n");
        showButton(true);
    }
    showProgress(false);
    reportStatus(0, deviceInfo.connectedText.c_str(), nullptr);
    if (!deviceInfo.updateButtonText.empty()) {
        setButtonLabel(deviceInfo.updateButtonText.c_str());
    } else if (!deviceInfo.infoMessage.empty()) {
        statusDetail.set(deviceInfo.infoMessage);
        setButtonLabel("OK");
        repaintWindow();
    }
}

void onDeviceInfoReadMessage()
{
    debugLine("\r\nWM_ON_DEVICE_INFO_READ\r\n");
    if (isSet(factoryResetActive) && !isSet(languagePackActive) && recordVariant(deviceInfo) != kJapaneseVariant) {
        showProgress(false);
        showButton(false);
    }
    if (resumeUpdateOfEarlierRun()) {
        scanInProgress = 0;
        return;
    }
    if (isSet(reverseUpgrade)) {
        debugLine("\r\nWM_ON_DEVICE_INFO_READ - continue reverse update\r\n");
        if (isSet(ishf))
            onGpsDeviceInfoRead();
    } else {
        const bool wirelessKnownBefore = NRFV.load() > 0;
        if (queryNordicVersion() && isSet(ishf)) {
            // The scan's read decided without the wireless version when it was not known yet (a
            // device plugged in while the updater runs): decided again now that it is, so that a
            // wireless build behind the carried one is offered.
            if (!wirelessKnownBefore && NRFV.load() > 0 && !isSet(updateActive) && !isSet(updateThreadActive))
                decideUpdate(deviceInfo);
            debugLine("\r\nWM_ON_DEVICE_INFO_READ - onGpsDeviceInfoRead\r\n");
            onGpsDeviceInfoRead();
        }
    }
    scanInProgress = 0;
    // Steps an earlier run left (a disk reset, the wireless update) come before the done screen.
    if (runsCarriedFirmware() && NRFV.load() == targetNrfVersion.load() && !isSet(updateThreadActive)
        && !isSet(flashIncomplete) && !stepsOfEarlierRunDue(deviceInfo.deviceType)) {
        if (isSet(languagePacksPending) && recordVariant(deviceInfo) == kJapaneseVariant) {
            // Back after its wireless update later than its worker waited: the packs first,
            // whose worker sends this message again when they are done.
            startWorker(pendingLanguagePacksThread);
        } else {
            showDoneScreen();
        }
    }
    updateMenuState();
}

void autoUpdateContinuation()
{
    if (isSet(flashIncomplete)) {
        // Back running an application although its programming did not finish (a write cut
        // short can leave an image that starts): it goes through its bootloader again.
        logAndDebug("\r\n Start Auto Update - THE PROGRAMMING DID NOT FINISH - AGAIN\r\n");
        reverseUpgrade = 1;
        startUpdateWorker();
        return;
    }
    // Back from a flash: steps an earlier run left for this device come with it (the disk reset
    // it asked for, its language packs), whether this run's update began from the offer or from
    // the device's bootloader.
    const bool resumed = takeStepsLeftByEarlierRun();
    if (!resumed && !isSet(reverseUpgrade) && NRFV.load() > 0 && NRFV.load() != targetNrfVersion.load()
        && runsCarriedFirmware()) {
        // The device came back from a flash this run started from its bootloader (an update an
        // earlier run left unfinished, without a record of its steps) and its wireless firmware
        // is still behind: the update goes on as it would have in that run, with the disk reset
        // first when the rider's data is held from it.
        logAndDebug("\r\n Start Auto Update - RESUMING AN UNFINISHED UPDATE\r\n");
        reverseUpgrade = 1;
        resetBeforeNordic = isSet(backupHeld) ? 1 : 0;
    }
    if (!isSet(reverseUpgrade)) {
        showProgress(false);
        return;
    }
    showButton(false);
    showProgress(true);
    logAndDebug("\r\n Start Auto Update\r\n");
    if (isSet(resetBeforeNordic)) {
        logAndDebug("\r\n Start Auto Update - RESET BEFORE NORDIC\r\n");
        // The device may hold data that the held backup has not (an earlier run's backup, and
        // rides since): it is backed up afresh first, and the disk is never reset without it.
        if (!backupCoversDriveBeforeReset(deviceInfo)) {
            logLine("\r\n Start Auto Update - RESET BEFORE NORDIC - STOPPED, NO BACKUP\r\n");
            updateActive = 0;
            showProgress(false);
            return;
        }
        reportStatus(0, nullptr, "Resetting GPS Disk...");
        repaintWindow();
        if (factoryReset()) {
            resetBeforeNordic = 0;
            noteDiskResetAfterBackup();
            rememberPendingSteps(deviceInfo.deviceType);
        } else {
            // The update stays open: the device's next arrival (plugged in again) resets it.
            logLine("\r\n Start Auto Update - RESET BEFORE NORDIC - FAILED\r\n");
            reportStatus(0, updateProblemText().c_str(), nullptr); // the update stays open: progress stays up
        }
        // The device restarts and arrives again, which runs this continuation once more.
        return;
    }
    updateActive = 0;
    logAndDebug("\r\n Start Auto Update - NORDIC\r\n");
    startUpdateNordic();
}
