// Start-up, the window's creation and destruction, and the window procedure's dispatch of
// commands, custom messages, the timer and the focus.

#include "window_procedure.h"

#include "held_backup_restore.h"
#include "shell.h"
#include "shell_window.h"
#include "web_pages.h"

#include "devlink/device_info.h"
#include "platform/single_instance.h"
#include "state/app_callbacks.h"
#include "state/flash_progress.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"
#include "state/window_messages.h"
#include "storage/backup.h"
#include "storage/pending_steps.h"
#include "storage/unfinished_flash.h"

#include <string>

namespace {

constexpr const char* kInstanceLockName = "Tarvel_Updater_Win";

// The button's and the menu's commands and what each runs.
struct CommandRow {
    int commandId;
    void (*handler)();
};
const CommandRow kCommandRows[] = {
    { kCommandUpdateButton, onUpdateButton },
    { kCommandAbout, aboutCommand },
    { kCommandExit, onCloseAsked },
    { kCommandFactoryReset, factoryResetCommand },
    { kCommandShowLog, showLogCommand },
    { kCommandForceUpdate, forceUpdateCommand },
    { kCommandEraseKeys, eraseKeysCommand },
    { kCommandLanguagePacks, runLanguagePackUpdate },
};

// The custom window messages and their handlers; the emergency start and the worker's read of
// the device read wParam.
struct MessageRow {
    int message;
    void (*handler)(MessageParam wParam);
};
const MessageRow kMessageRows[] = {
    { WM_CREATE_RECOVERY_MODE_DLG, [](MessageParam) { onCreateRecoveryDialog(); } },
    { WM_CLOSE_RECOVERY_MODE_DLG, [](MessageParam) { onCloseRecoveryDialog(); } },
    { WM_START_EMERGENCY_PROGRAM, onStartEmergencyProgram },
    { WM_ON_DEVICE_INFO_READ, [](MessageParam) { onDeviceInfoReadMessage(); } },
    { kMessageContinueUpdate, [](MessageParam) { autoUpdateContinuation(); } },
    { kMessageReadDevice, [](MessageParam read) { *reinterpret_cast<bool*>(read) = readDevice(deviceInfo); } },
    { kMessageDestroy, [](MessageParam) { onDestroy(); } },
};

} // namespace

bool startUpdater()
{
    if (!platform::acquireSingleInstance(kInstanceLockName))
        return false;
    installAppCallbacks();
    // The programming reports its unfinished state; the mark is kept beside the held backup.
    setUnfinishedProgrammingCallback([](bool unfinished) { rememberUnfinishedFlash(unfinished); });
    installFlashProgressCounter();
    return true;
}

void onWindowCreated()
{
    resetMenuState();
    showProgress(false);
    showButton(false);
    if (WindowPort* window = mainWindow())
        window->showControl(WindowControl::LogWindow, false);
    for (int id : { kCommandFactoryReset, kCommandLanguagePacks, kCommandLoadStandardFirmware,
             kCommandLoadJapanFirmware, kCommandForceUpdate })
        enableMenu(id, false);
    if (WindowPort* window = mainWindow())
        window->startTimer(UPDATE_ALERT_TIMER, kUpdateAlertDelayMs);
}

void onWindowShown()
{
    // A backup that an earlier run made and could not restore waits for its device.
    loadHeldBackup();
    loadUnfinishedFlash();
    loadPendingSteps();
    if (isSet(backupHeld))
        noteHeldBackupOfEarlierRun();
    repaintWindow();
    onDeviceChange(DBT_DEVNODES_CHANGED);
    // Does nothing when the first scan left its guard set (it acted on a device).
    deviceScan();
}

void onTimer(int timerId)
{
    if (timerId != UPDATE_ALERT_TIMER)
        return;
    if (WindowPort* window = mainWindow())
        window->killTimer(UPDATE_ALERT_TIMER);
    const MessageBoxAnswer answer
        = ask("Before starting the update process on your Tarvel GPS, we recommend backing "
              "up your gps device. Do you want to see the step by step directions?",
            "Update Alert", MessageBoxKind::YesNo, MessageBoxIcon::Warning);
    if (answer == MessageBoxAnswer::Yes) {
        if (WindowPort* window = mainWindow())
            window->openWebPage((std::string(kMakerSite) + kBackupGuidePath).c_str());
    }
}

void onFocusGained()
{
    if (isSet(recoveryDialogActive) && recoveryDialogExists()) {
        if (WindowPort* window = mainWindow())
            window->focusRecoveryDialog();
    }
}

void onDestroy()
{
    platform::releaseSingleInstance();
    if (WindowPort* window = mainWindow())
        window->quit();
}

void onCloseAsked()
{
    // A worker still at the device: after one has failed and ended, its flags may stay set
    // until the restart it asks for, and closing is then what the rider was told to do.
    if (deviceWorkUnderWay() && runningWorkers() > 0) {
        logLine("\r\nClose asked while device work is under way\r\n");
        // Device work never stops half-way unasked: a device left between erase and the end
        // of programming holds no whole firmware until the next run finishes it.
        if (ask(kCloseDuringDeviceWork, "Tarvel GPS Updater Message", MessageBoxKind::YesNo, MessageBoxIcon::Warning)
            != MessageBoxAnswer::Yes) {
            logLine("Close declined: device work goes on\r\n");
            return;
        }
    }
    onDestroy();
}

void onCommand(int commandId)
{
    if (commandId != kCommandUpdateButton && !menuItemEnabled(commandId)) {
        logLinef("\r\nCommand %i ignored: its menu entry is disabled\r\n", commandId);
        return;
    }
    if (startsDeviceWork(commandId) && deviceWorkUnderWay()) {
        logLinef("\r\nCommand %i refused: device work is under way\r\n", commandId);
        return;
    }
    for (const CommandRow& row : kCommandRows)
        if (row.commandId == commandId) {
            row.handler();
            return;
        }
}

void onWindowMessage(int message, MessageParam wParam)
{
    for (const MessageRow& row : kMessageRows)
        if (row.message == message) {
            row.handler(wParam);
            return;
        }
}

bool startsDeviceWork(int commandId)
{
    return commandId == kCommandFactoryReset || commandId == kCommandForceUpdate || commandId == kCommandEraseKeys
        || commandId == kCommandLanguagePacks;
}

int deviceChangeMessage(platform::DeviceEventKind kind)
{
    switch (kind) {
    case platform::DeviceEventKind::Arrival:
        return DBT_DEVICEARRIVAL;
    case platform::DeviceEventKind::RemoveComplete:
        return DBT_DEVICEREMOVECOMPLETE;
    case platform::DeviceEventKind::NodesChanged:
        break;
    }
    return DBT_DEVNODES_CHANGED;
}

bool deviceWorkUnderWay()
{
    return isSet(updateActive) || isSet(updateThreadActive) || isSet(factoryResetActive) || isSet(languagePackActive)
        || isSet(jbl);
}

bool menuEntryChoosable(int commandId)
{
    if (commandId == kCommandLoadStandardFirmware || commandId == kCommandLoadJapanFirmware)
        return false;
    return menuItemEnabled(commandId) && !(startsDeviceWork(commandId) && deviceWorkUnderWay());
}

bool warningShown()
{
    return isSet(updateActive) || isSet(factoryResetActive) || isSet(languagePackActive)
        || isSet(recoveryDialogActive) || isSet(backupHeld) || isSet(resetBeforeNordic);
}
