// Recovery of a device that only shows its ROM bootloader: the recovery dialog's messages and
// its procedure, and the emergency programming of the model the rider ticked.

#include "shell.h"
#include "shell_window.h"
#include "window_procedure.h"

#include "flash/programming.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

namespace {

Flag g_dialogExists { 0 }; // the dialog's window exists (the recoveryDialog handle)
Flag g_dialogInitDone { 0 }; // its initialisation ran for the dialog now open

WindowPort* window()
{
    return mainWindow();
}

void showRecoveryStatus()
{
    setStatusLines("Device Recovery Mode\n", " ");
}

void untickAllModels()
{
    for (int id = kRecoveryFirstModelBox; id <= kRecoveryLastModelBox; ++id)
        window()->setRecoveryBoxTicked(id, false);
}

void modelBoxClicked(int controlId)
{
    if (window()->recoveryBoxTicked(controlId)) {
        recoveryDeviceType = controlId - 1000;
        logLinef("RecoveryModeDialog [%i][%i]-[%i] checked\n", controlId, 0, int(recoveryDeviceType.load()));
        untickAllModels();
        window()->setRecoveryBoxTicked(controlId, true);
    } else {
        // The type stays: OK then programs the model last ticked.
        logLinef("RecoveryModeDialog [%i][%i] unchecked\n", controlId, 0);
        untickAllModels();
    }
}

void languageBoxClicked(int controlId)
{
    if (window()->recoveryBoxTicked(controlId)) {
        recoveryVariant = controlId - 1000;
        logLinef("RecoveryModeDialog [%i][%i]-[%i] checked\n", controlId, 0, int(recoveryVariant.load()));
        window()->setRecoveryBoxTicked(kRecoveryJapaneseBox, false);
        window()->setRecoveryBoxTicked(kRecoveryEnglishBox, false);
        window()->setRecoveryBoxTicked(controlId, true);
    } else {
        logLinef("RecoveryModeDialog [%i][%i] unchecked\n", controlId, 0);
        recoveryVariant = kStandardChoice;
        window()->setRecoveryBoxTicked(kRecoveryEnglishBox, true);
        window()->setRecoveryBoxTicked(kRecoveryJapaneseBox, false);
    }
}

void okClicked()
{
    if (!isFlashableType(recoveryDeviceType.load()))
        return; // no model ticked yet: the dialog stays
    recoveryVariant = window()->recoveryBoxTicked(kRecoveryJapaneseBox) ? kJapaneseVariant : kStandardChoice;
    showProgress(true);
    showButton(false);
    repaintWindow();
    sendToWindow(WM_CLOSE_RECOVERY_MODE_DLG);
    sendToWindow(WM_START_EMERGENCY_PROGRAM, recoveryDeviceType.load());
}

} // namespace

bool recoveryDialogExists()
{
    return isSet(g_dialogExists);
}

void onCreateRecoveryDialog()
{
    if (!claimFlag(recoveryDialogActive) || recoveryDialogExists())
        return;
    logLine("\n--  WM_CREATE_RECOVERY_MODE_DLG CreateDialog --\n");
    showRecoveryStatus();
    if (!window())
        return;
    g_dialogInitDone = 0;
    window()->createRecoveryDialog();
    g_dialogExists = 1;
    // The dialog's initialisation, unless the window ran it while creating the dialog.
    onRecoveryDialogInit();
}

void onCloseRecoveryDialog()
{
    recoveryDialogActive = 0;
    if (g_dialogExists.exchange(0) != 0 && window())
        window()->destroyRecoveryDialog();
    repaintWindow();
}

// The type comes with the message too; the model ticked in the dialog is the one programmed.
void onStartEmergencyProgram(MessageParam)
{
    g_dialogExists = 0;
    if (!isFlashableType(recoveryDeviceType.load())) {
        logLinef(
            "\r\nWM_START_EMERGENCY_PROGRAM refused: device type %i\r\n", int(recoveryDeviceType.load()));
        return;
    }
    updateActive = 1;
    showRecoveryStatus();
    showProgress(true);
    onEmergencyProgramFlashMode(deviceInfo, recoveryDeviceType.load(), recoveryVariant.load());
}

void onRecoveryDialogInit()
{
    if (!window() || !claimFlag(g_dialogInitDone))
        return;
    logLine("RecoveryModeDialog WM_INITDIALOG\n");
    window()->setRecoveryBoxTicked(kRecoveryEnglishBox, true);
    recoveryDialogActive = 1;
    showProgress(false);
    showButton(false);
    repaintWindow();
}

void onRecoveryDialogCommand(int controlId)
{
    if (!window() || !recoveryDialogExists())
        return;
    showRecoveryStatus();
    if (controlId >= kRecoveryFirstModelBox && controlId <= kRecoveryLastModelBox)
        modelBoxClicked(controlId);
    else if (controlId == kRecoveryJapaneseBox || controlId == kRecoveryEnglishBox)
        languageBoxClicked(controlId);
    else if (controlId == kRecoveryOk)
        okClicked();
    else if (controlId == kRecoveryCancel)
        sendToWindow(WM_CLOSE_RECOVERY_MODE_DLG);
}

void onRecoveryDialogClose()
{
    logLine("RecoveryModeDialog WM_CLOSE \n");
    sendToWindow(WM_CLOSE_RECOVERY_MODE_DLG);
}
