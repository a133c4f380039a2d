// Device presence: the scan over the USB devices present, and the device-change handler that
// decides per event whether to scan and what follows.

#include "shell.h"
#include "shell_window.h"
#include "window_procedure.h"

#include "devlink/device_info.h"
#include "platform/clock.h"
#include "platform/usb_devices.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/gps_drive.h"
#include "textutil/hex_digit.h"

#include <string>
#include <vector>

namespace {

constexpr int kUnclaimedDeviceWaitMs = 1500;

// The hexadecimal digits after "PID_", up to the first other character; 0 when none.
int parseProductId(const std::string& hardwareId, size_t at)
{
    int value = 0;
    for (size_t i = at; i < hardwareId.size(); ++i) {
        const int digit = textutil::hexDigitValue(hardwareId[i]);
        if (digit < 0 || value > 0xFFFFFF)
            break; // the id ends, or is longer than any product id: stop before it overflows
        value = value * 16 + digit;
    }
    return value;
}

bool isFlashBootloaderPid(int pid)
{
    return (pid >= 4 && pid <= 16) || (pid >= 64 && pid <= 76);
}

} // namespace

void deviceScan()
{
    if (!claimFlag(scanInProgress)) {
        logLine("deviceScan - Already Device SCAN in progress\r\n");
        return;
    }
    logLine("\r\ndeviceScan BEGIN\r\n");
    ishf = 0;
    bool found = false;

    std::vector<std::string> ids;
    platform::usbDeviceService().presentHardwareIds(ids);
    for (size_t index = 0; index < ids.size(); ++index) {
        const std::string& id = ids[index];
        const int idx = int(index);
        if (id.find("VID_15A2") != std::string::npos) {
            found = true;
            logLinef("idx:(%i)-VID_15A2\r\n", idx);
            sendToWindow(WM_CREATE_RECOVERY_MODE_DLG);
            continue;
        }
        if (id.find("VID_2B29") == std::string::npos)
            continue;
        found = true;
        if (recoveryDialogExists())
            sendToWindow(WM_CLOSE_RECOVERY_MODE_DLG);
        logLinef("idx:(%i)-VID_2B29\r\n", idx);
        const size_t pidAt = id.find("PID_");
        if (pidAt == std::string::npos)
            continue;
        currentPid = parseProductId(id, pidAt + 4);
        logLinef("idx:(%i)-VID_2B29 PID[%2X]\r\n", idx, unsigned(currentPid.load()));

        if (!isSet(ishf) && currentPid.load() == kAppProductId) {
            if (!beginScanRead()) {
                // Every open handle gets a copy of each input report: a second handle's
                // requests would put replies in the worker's way. The worker reports itself;
                // the device stays shown as it was read before.
                logLine("deviceScan - a worker talks to the device, not read\r\n");
                ishf = 1;
                scanInProgress = 0;
                logLine("deviceScan B END\r\n");
                return; // as after a read: the first device found is the one served
            }
            ishf = 1;
            std::string drive;
            const bool read = readDevice(deviceInfo);
            endScanRead();
            if (read && !(drive = findGpsDrive()).empty()) {
                gpsDrivePath.set(drive);
                sendToWindow(WM_ON_DEVICE_INFO_READ);
            } else {
                // No answer from a device that is present: no device-information message
                // will clear the guard, so clear it here, or every later scan (the second one
                // of start-up included) would be refused and the device never read again.
                ishf = 0;
                scanInProgress = 0;
            }
            logLinef("devinfoScan B pid:%X ishf:%i jbl:%i U[%d.%2.2d] D[%d.%2.2d] U[%li] D[%li]\r\n",
                unsigned(currentPid.load()), int(ishf.load()), int(jbl.load()), deviceInfo.catalogRow[0],
                deviceInfo.catalogRow[1], deviceInfo.major, deviceInfo.minor, long(targetNrfVersion.load()),
                long(NRFV.load()));
            logLine("deviceScan B END\r\n");
            return; // the guard stays set until the device-information handling clears it
        }

        platform::pause(platform::Milliseconds(kUnclaimedDeviceWaitMs));
        if (isFlashBootloaderPid(currentPid.load()) && !isSet(jbl)) {
            showButton(false);
            showProgress(true);
            // Claimed before the thread runs, so that the device-change handling after this scan
            // already sees the programming under way; a stale drive arrival can clear jbl while
            // a worker programs, and a second one would erase under the first.
            if (claimFlag(bootloaderThreadActive))
                startWorker(startOnBootloaderModeThread);
            else
                logLine("\r\n- Bootloader Already Thread Active\r\n");
            jbl = 1;
            logLine("deviceScan C END\r\n");
            return;
        }
    }
    if (!found && recoveryDialogExists())
        sendToWindow(WM_CLOSE_RECOVERY_MODE_DLG);
    logLine("deviceScan A END\r\n");
    scanInProgress = 0;
}

void onDeviceChange(int event)
{
    switch (event) {
    case DBT_DEVNODES_CHANGED:
        logLine("\r\nDBT_DEVNODES_CHANGED\r\n");
        if (!isSet(factoryResetActive) && !isSet(languagePackActive) && !isSet(updateActive)
            && NRFV.load() != 0)
            return;
        scanInProgress = 0;
        NRFV = 0;
        deviceScan();
        updateMenuState();
        if (isSet(factoryResetActive) || isSet(languagePackActive))
            showButton(false);
        return;
    case DBT_DEVICEARRIVAL:
        logLine("\r\nDBT_DEVICEARRIVAL\r\n");
        scanInProgress = 0;
        if (isSet(jbl)) {
            logLine("- DBT_DEVICEARRIVAL - in boot loader mode\r\n");
            updateActive = 1;
        }
        jbl = 0;
        deviceScan();
        updateMenuState();
        if (isSet(factoryResetActive)) {
            factoryResetReturn();
        } else if (isSet(updateActive)) {
            // The continuation picks the update up after a flash. While an update or wireless
            // worker runs the device has not been sent anywhere yet (its drive arrived late, or
            // came back after the wireless restart): the worker carries on by itself, and a
            // continuation now would reset the disk or start a second worker under it.
            // A bootloader worker still finishing (its last status, its pause after the reset)
            // goes first: it sends the continuation when it ends.
            if (isSet(updateThreadActive)) {
                logLine("\r\n Start Auto Update - not now, a worker runs\r\n");
            } else if (isSet(bootloaderThreadActive)) {
                logLine("\r\n Start Auto Update - once the programming worker has ended\r\n");
                continuationDeferred = 1;
                // The worker may have ended between the two looks: then it is taken here.
                if (!isSet(bootloaderThreadActive) && continuationDeferred.exchange(0))
                    autoUpdateContinuation();
            } else {
                autoUpdateContinuation();
            }
        } else {
            showButton(true);
        }
        return;
    case DBT_DEVICEREMOVECOMPLETE:
        logLine("\r\n DBT_DEVICEREMOVECOMPLETE\r\n");
        scanInProgress = 0;
        NRFV = 0;
        deviceScan();
        updateMenuState();
        if (isSet(factoryResetActive) || isSet(languagePackActive))
            showButton(false);
        return;
    default:
        logLine("\n-- WM_DEVICECHANGE default Unhandled Event --\n");
        return;
    }
}
