// updateMenuState: the menu entries and the two main controls in step with the shared flags.

#include "shell.h"
#include "shell_window.h"

#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

const char* const kNoDeviceText = "Please connect your\nTarvel GPS Device";

void updateMenuState()
{
    if (isSet(factoryResetActive) || isSet(languagePackActive) || isSet(updateActive)) {
        // Device work is under way: the menu stays as it is.
        showProgress(true);
        showButton(false);
        return;
    }
    if (isSet(ishf)) {
        for (int id : { kCommandFactoryReset, kCommandForceUpdate, kCommandEraseKeys })
            enableMenu(id, true);
        enableMenu(kCommandLanguagePacks, recordVariant(deviceInfo) == kJapaneseVariant);
        enableMenu(kCommandLoadJapanFirmware, false);
        enableMenu(kCommandLoadStandardFirmware, false);
        return;
    }
    showProgress(false);
    showButton(false);
    updateThreadActive = 0;
    updateActive = 0;
    factoryResetActive = 0;
    languagePackActive = 0;
    for (int id : { kCommandFactoryReset, kCommandLanguagePacks, kCommandLoadStandardFirmware,
             kCommandLoadJapanFirmware, kCommandForceUpdate, kCommandEraseKeys })
        enableMenu(id, false);
    // A device in its ROM bootloader is no application device, but it is connected: while its
    // recovery dialog is open the window keeps saying so instead of asking for a device.
    if (isSet(recoveryDialogActive)) {
        repaintWindow();
        return;
    }
    setStatusLines(kNoDeviceText, " ");
}
