// The worker threads of an update. Each is started detached and never joined; the update
// worker and the wireless worker take updateThreadActive with one atomic exchange as their
// first step, so two of them never work at once.

#include "shell.h"
#include "shell_window.h"

#include "devlink/device_info.h"
#include "devlink/service_commands.h"
#include "flash/programming.h"
#include "platform/clock.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/gps_drive.h"
#include "storage/language_packs.h"
#include "storage/wireless_update.h"

namespace {

constexpr int kAttempts = 3;
constexpr const char* kWirelessCaption = "Wireless Firmware Update Problem";
constexpr const char* kNoCommunication
    = "We could not begin communication with the Tarvel GPS. Disconnect the GPS from "
      "computer , turn off GPS and turn back on, then Restart the updater app and "
      "reconnect the GPS.";
constexpr const char* kWirelessFailed
    = "Please disconnect the Tarvel GPS device from the computer USB.  Close and "
      "Restart the updater app. Reconnect the Tarvel GPS device and try the update "
      "again.";

void waitMs(int milliseconds)
{
    platform::pause(platform::Milliseconds(milliseconds));
}

bool queryNordicVersion()
{
    for (int attempt = 0; attempt < kAttempts; ++attempt)
        if (getNordicVersion())
            return true;
    return false;
}

// A worker that cannot go on tells why and ends the program.
void giveUp(const char* text)
{
    tell(text, kWirelessCaption);
    sendToWindow(kMessageDestroy);
}

void logIdentity(const char* format)
{
    logLinef(format, int(GRawDevID.load()), int(GNormDevID.load()), int(gcbn.load()), int(deviceInfo.dlv));
}

void logBuild(const char* format)
{
    logLinef(format, int(gcbn.load()), int(deviceInfo.dlv));
}

} // namespace

void startUpdateWorkerThread()
{
    if (!claimFlag(updateThreadActive)) {
        logLine("\r\n- Already Update Thread Active\r\n");
        return;
    }
    updateActive = 1;
    repaintWindow();
    jbl = 0;
    waitMs(1000);
    logIdentity("\r\n- startUpdateWorkerThread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n");
    showButton(false);
    showProgress(true);

    const bool versionRead = queryNordicVersion();
    logBuild("Start A gcbn:%i dlv:%i\r\n");
    if (!versionRead) {
        giveUp(kNoCommunication);
        updateThreadActive = 0;
        return;
    }
    logBuild("Start B gcbn:%i dlv:%i\r\n");
    reportStatus(0, nullptr, "Working...");
    waitMs(3000);

    bool wirelessPassed = false;
    if (isSet(reverseUpgrade)) {
        logLine("REVERSE UPGRADE REQUIRED\r\n");
        wirelessPassed = true;
    } else {
        for (int attempt = 0; attempt < kAttempts && !wirelessPassed; ++attempt) {
            if (attempt > 0)
                waitMs(6000);
            wirelessPassed = updateNordicFirmware();
        }
    }
    logBuild("Start C gcbn:%i dlv:%i\r\n");

    if (!wirelessPassed) {
        giveUp(kWirelessFailed);
        updateThreadActive = 0;
        return;
    }
    waitMs(1000);
    if (!updateFirmware(deviceInfo)) {
        // The device was not sent into its bootloader (it could not be opened, or its data
        // could not be backed up): nothing will come back, so the update is over and the
        // device is shown again with its offer.
        logLine("Start D updateFirmware FAILED - update stopped\r\n");
        updateThreadActive = 0;
        if (isSet(jbl))
            return; // a late second worker: the first one's device is being programmed
        updateActive = 0;
        reverseUpgrade = 0;
        sendToWindow(WM_ON_DEVICE_INFO_READ);
        return;
    }
    updateThreadActive = 0;
}

void startOnBootloaderModeThread()
{
    logIdentity("\r\n- startOnBootloaderModeThread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n");
    waitMs(1500);
    if (!onBootloaderMode(currentPid.load(), kAppVendorId)) {
        // The programming gave up (the device left, or would not take the image). The device
        // still shows its bootloader when it comes back, and no worker runs for it any more:
        // let the next scan that finds it start one again.
        logLine("\r\n- Bootloader mode FAILED - the next scan may start it again\r\n");
        jbl = 0;
    }
}

void nordicThread()
{
    if (!claimFlag(updateThreadActive)) {
        logLine("\r\n- Nordic Already Update Thread Active\r\n");
        return;
    }
    updateActive = 1;
    repaintWindow();
    jbl = 0;
    waitMs(1000);
    logIdentity("\r\n- Nordic Thread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n");
    showButton(false);
    showProgress(true);

    const bool versionRead = queryNordicVersion();
    logBuild("Nordic Start A gcbn:%i dlv:%i\r\n");
    if (!versionRead) {
        giveUp(kNoCommunication);
        updateThreadActive = 0;
        return;
    }
    logBuild("Nordic Start B gcbn:%i dlv:%i\r\n");
    reportStatus(0, nullptr, "Working...");
    waitMs(3000);

    bool updated = false;
    for (int attempt = 0; attempt < kAttempts && !updated; ++attempt) {
        if (attempt > 0)
            waitMs(6000);
        updated = updateNordicFirmware();
    }
    logBuild("Nordic Start C gcbn:%i dlv:%i\r\n");
    if (!updated) {
        giveUp(kWirelessFailed);
        updateThreadActive = 0;
        return;
    }

    waitMs(15000); // the device restarts its wireless chip
    std::string drive;
    if (!readDevice(deviceInfo) || (drive = findGpsDrive()).empty()) {
        // Quietly: updateActive stays set and the next device-change event takes over.
        ishf = 0;
        updateThreadActive = 0;
        return;
    }
    waitMs(6000);
    NRFV = 0;
    bool known = getNordicVersion();
    for (int retry = 0; retry < 2 && !known; ++retry) {
        nrfCheckBypass = 0;
        waitMs(6000);
        known = getNordicVersion();
    }

    updateThreadActive = 0;
    gpsDrivePath.set(drive);
    if (deviceInfo.dlv == kJapaneseVariant && GNormDevID.load() >= 11 && GNormDevID.load() <= 16) {
        languagePackActive = 1;
        showProgress(true);
        showButton(false);
        repaintWindow();
        const bool packed = updateLanguagePacks();
        showProgress(false);
        languagePackActive = 0;
        if (!packed)
            tell("Could Not Update Language Packs.", "Language Pack");
    }
    if (!isSet(reverseUpgrade))
        updateActive = 0;
    sendToWindow(WM_ON_DEVICE_INFO_READ);
    updateThreadActive = 0;
}

void eraseKeysThread()
{
    eraseNordicKeys();
}
