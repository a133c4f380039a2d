// The worker threads of an update. Each is started detached and never joined; the update
// worker and the wireless worker take updateThreadActive with one atomic exchange as their
// first step, so two of them never work at once.

#include "shell.h"
#include "shell_window.h"

#include "devlink/device_info.h"
#include "devlink/service_commands.h"
#include "flash/programming.h"
#include "platform/clock.h"
#include "platform/usb_devices.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_port.h"
#include "state/window_messages.h"
#include "storage/backup.h"
#include "storage/gps_drive.h"
#include "storage/language_packs.h"
#include "storage/pending_steps.h"
#include "storage/wireless_update.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kAttempts = 3;
// Real time, never scaled: the device's own restart. Tests shorten it.
std::atomic<int> g_returnLimitMs { 60000 };
constexpr int kReturnPollMs = 500;
constexpr int kDriveWaitMs = 10000; // real time: mounting a drive that came back
constexpr const char* kWirelessCaption = "Wireless Firmware Update Problem";
constexpr const char* kNoCommunication
    = "We could not begin communication with the Tarvel GPS. Disconnect the GPS from "
      "computer , turn off GPS and turn back on, then Restart the updater app and "
      "reconnect the GPS.";
constexpr const char* kWirelessFailed
    = "Please disconnect the Tarvel GPS device from the computer USB.  Close and "
      "Restart the updater app. Reconnect the Tarvel GPS device and try the update "
      "again.";

// Set while a worker exchanges requests with the running device; the scan leaves it alone
// then. Not while the worker waits for the device to come back: that return is the scan's.
std::atomic<int> g_talking { 0 };
// Set while the scan reads the running device. Each side sets its own flag before it looks at
// the other's (sequentially consistent), so at least one of them sees the other.
std::atomic<int> g_scanReading { 0 };

class TalkingToDevice {
public:
    TalkingToDevice()
    {
        ++g_talking;
        // A read begun before this worker came ends within its own reply limits.
        while (g_scanReading.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~TalkingToDevice() { --g_talking; }
    TalkingToDevice(const TalkingToDevice&) = delete;
    TalkingToDevice& operator=(const TalkingToDevice&) = delete;
};

bool updateNordicOwned()
{
    TalkingToDevice talking;
    return updateNordicFirmware();
}

void waitMs(int milliseconds)
{
    platform::pause(platform::Milliseconds(milliseconds));
}

bool queryNordicVersion()
{
    TalkingToDevice talking;
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
    logLinef(format, int(GRawDevID.load()), int(GNormDevID.load()), int(gcbn.load()), int(recordVariant(deviceInfo)));
}

void logBuild(const char* format)
{
    logLinef(format, int(gcbn.load()), int(recordVariant(deviceInfo)));
}

// Reads the device into the shared record on the window thread: the window thread reads and
// rewrites that record on every arrival of the device, so it is its one writer. Without a
// window (a worker tested alone) the worker reads it itself.
bool readDeviceOnWindowThread()
{
    WindowPort* window = mainWindow();
    if (!window)
        return readDevice(deviceInfo);
    bool read = false;
    window->sendMessage(kMessageReadDevice, reinterpret_cast<MessageParam>(&read));
    return read;
}

// Reads the device and finds its drive, looking again for up to g_returnLimitMs of real time:
// after its wireless update a device may take longer than the usual pause to be back.
bool waitForDeviceBack(std::string& drive)
{
    const auto limit = platform::now() + std::chrono::milliseconds(g_returnLimitMs.load());
    for (;;) {
        if (readDeviceOnWindowThread() && !(drive = findGpsDrive()).empty())
            return true;
        if (platform::now() >= limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReturnPollMs));
    }
}

// Before a retry of the wireless update: a device that is on the bus (it may just have been
// plugged in again) gets up to kDriveWaitMs of real time for its drive to be mounted.
void waitForDriveOfPresentDevice()
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X", unsigned(kAppVendorId));
    const auto limit = platform::now() + std::chrono::milliseconds(kDriveWaitMs);
    while (platform::now() < limit) {
        std::vector<std::string> ids;
        platform::usbDeviceService().presentHardwareIds(ids);
        bool present = false;
        for (const std::string& id : ids)
            present = present || id.rfind(prefix, 0) == 0;
        if (!present || !findGpsDrive().empty())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReturnPollMs));
    }
}

// The language packs a Japanese device gets after its wireless update; a failure is told.
void languagePacksAfterUpdate()
{
    languagePackActive = 1;
    showProgress(true);
    showButton(false);
    repaintWindow();
    bool packed = false;
    {
        TalkingToDevice talking;
        packed = updateLanguagePacks();
    }
    showProgress(false);
    languagePackActive = 0;
    // Told either way: a failure leaves them to the menu's language-pack command.
    languagePacksPending = 0;
    if (!packed)
        tell("Could Not Update Language Packs.", "Language Pack");
}

// The rider's data is saved where the update needs it before the device is sent into its
// bootloader: the disk reset after the update would lose it otherwise.
bool backUpThenJumpToBootloader()
{
    bool mustStop = false;
    DeviceInfo record = recordCopy(deviceInfo);
    saveGpsDataToLocal(record, &mustStop);
    if (mustStop) {
        logLine("updateFirmware stopped: the GPS data could not be backed up\r\n");
        return false;
    }
    // The jump is an exchange with the running device: a scan's read must not take its turn.
    TalkingToDevice talking;
    return updateFirmware(record);
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
            wirelessPassed = updateNordicOwned();
        }
    }
    logBuild("Start C gcbn:%i dlv:%i\r\n");

    if (!wirelessPassed) {
        giveUp(kWirelessFailed);
        updateThreadActive = 0;
        return;
    }
    waitMs(1000);
    // From the jump on, the steps after the flash are due: kept first, so that a run that ends
    // while the device is away leaves them to the next one.
    rememberPendingSteps(recordCopy(deviceInfo).deviceType);
    if (!backUpThenJumpToBootloader()) {
        // The device was not sent into its bootloader (it could not be opened, or its data
        // could not be backed up): nothing will come back, so the update is over and the
        // device is shown again with its offer.
        logLine("Start D updateFirmware FAILED - update stopped\r\n");
        updateThreadActive = 0;
        if (isSet(jbl))
            return; // a late second worker: the first one's device is being programmed
        updateActive = 0;
        reverseUpgrade = 0;
        rememberPendingSteps(recordCopy(deviceInfo).deviceType);
        sendToWindow(WM_ON_DEVICE_INFO_READ);
        return;
    }
    updateThreadActive = 0;
}

namespace {

void programInBootloader()
{
    logIdentity("\r\n- startOnBootloaderModeThread GRawDevID:%i GNormDevID:%i gcbn:%i dlv:%i\r\n");
    waitMs(1500);
    // The erase marks the programming unfinished; only a complete write clears the mark.
    if (!onBootloaderMode(currentPid.load(), kAppVendorId)) {
        // The programming gave up (the device left, or would not take the image). The device
        // still shows its bootloader when it comes back, and no worker runs for it any more:
        // let the next scan that finds it start one again.
        logLine("\r\n- Bootloader mode FAILED - the next scan may start it again\r\n");
        jbl = 0;
    }
}

} // namespace

void startOnBootloaderModeThread()
{
    // Its starter has claimed bootloaderThreadActive for it.
    programInBootloader();
    bootloaderThreadActive = 0;
    if (continuationDeferred.exchange(0))
        sendToWindow(kMessageContinueUpdate);
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
        if (attempt > 0) {
            waitMs(6000);
            waitForDriveOfPresentDevice();
        }
        updated = updateNordicOwned();
    }
    logBuild("Nordic Start C gcbn:%i dlv:%i\r\n");
    if (!updated) {
        giveUp(kWirelessFailed);
        updateThreadActive = 0;
        return;
    }

    const DeviceInfo record = recordCopy(deviceInfo);
    if (record.dlv == kJapaneseVariant && GNormDevID.load() >= 11 && GNormDevID.load() <= 16) {
        languagePacksPending = 1;
        rememberPendingSteps(record.deviceType);
    }
    waitMs(15000); // the device restarts its wireless chip
    std::string drive;
    if (!waitForDeviceBack(drive)) {
        // Quietly: updateActive stays set and the device's next arrival takes over, with the
        // language packs still due when they are.
        logLine("\r\n- Nordic Thread: the device is not back yet; its next arrival carries on\r\n");
        ishf = 0;
        updateThreadActive = 0;
        return;
    }
    waitMs(6000);
    NRFV = 0;
    bool known = false;
    {
        // The version query after the update is the worker's exchange: a scan started by a
        // device change meanwhile must not put its requests between the worker's.
        TalkingToDevice talking;
        known = getNordicVersion();
        for (int retry = 0; retry < 2 && !known; ++retry) {
            nrfCheckBypass = 0;
            waitMs(6000);
            known = getNordicVersion();
        }
    }

    // The worker holds its flag through the language packs: the device's arrival meanwhile must
    // neither show the done screen nor start the packs a second time.
    gpsDrivePath.set(drive);
    if (isSet(languagePacksPending))
        languagePacksAfterUpdate();
    if (!isSet(reverseUpgrade))
        updateActive = 0;
    updateThreadActive = 0;
    sendToWindow(WM_ON_DEVICE_INFO_READ);
}

void eraseKeysThread()
{
    eraseNordicKeys();
}

void pendingLanguagePacksThread()
{
    if (!claimFlag(updateThreadActive))
        return;
    logLine("\r\n- Language packs due after the wireless update\r\n");
    const std::string drive = findGpsDrive();
    if (!drive.empty())
        gpsDrivePath.set(drive);
    languagePacksAfterUpdate();
    updateThreadActive = 0;
    sendToWindow(WM_ON_DEVICE_INFO_READ);
}

bool workerTalksToDevice()
{
    return g_talking.load() > 0;
}

bool beginScanRead()
{
    ++g_scanReading;
    if (g_talking.load() == 0)
        return true;
    --g_scanReading;
    return false;
}

void endScanRead()
{
    --g_scanReading;
}

void setDeviceReturnLimit(std::chrono::milliseconds limit)
{
    g_returnLimitMs = int(limit.count());
}
