// The menu commands other than the update itself: factory reset and its return, the language
// packs, erasing the wireless bonding keys, force update, the log window and About.

#include "shell.h"
#include "shell_window.h"
#include "web_pages.h"

#include "devlink/service_commands.h"
#include "flash/firmware_catalog.h"
#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"
#include "storage/language_packs.h"

#include <string>

void factoryResetCommand()
{
    if (ask("Do you want to restore factory defaults?", "FACTORY RESET", MessageBoxKind::YesNo,
            MessageBoxIcon::None)
        != MessageBoxAnswer::Yes)
        return;
    tell("Sending Factory Reset. This will take a while so do not unplug device", "Factory Reset");
    enableMenu(kCommandFactoryReset, false);
    showButton(false);
    factoryResetActive = 1;
    showProgress(true);
    if (factoryReset())
        return; // the device restarts; its return is handled on its arrival
    showProgress(false);
    updateActive = 0;
    factoryResetActive = 0;
    languagePackActive = 0;
    tell("Please make sure device is plugged in. Unplug and reconnect if already plugged.",
        "Factory Reset Failed");
    repaintWindow();
}

void factoryResetReturn()
{
    showProgress(false);
    showButton(false);
    factoryResetActive = 0;
    languagePackActive = 0;
    if (recordVariant(deviceInfo) == kJapaneseVariant) {
        runLanguagePackUpdate();
        showButton(true);
        logLine(" updateButton SW_SHOW D \r\n");
    } else {
        enableMenu(kCommandLanguagePacks, false);
        showButton(true);
        logLine(" updateButton SW_SHOW 1 \r\n");
        sendToWindow(WM_ON_DEVICE_INFO_READ);
    }
}

void runLanguagePackUpdate()
{
    factoryResetActive = 0;
    languagePackActive = 1;
    showButton(false);
    tell("Sending Command to appy NEW Language Pack. This will take a while so do not unplug device",
        "Language Pack");
    showProgress(true);
    const bool updated = updateLanguagePacks();
    showProgress(false);
    languagePackActive = 0;
    if (updated)
        languagePacksPending = 0; // nothing left due from an update
    updateActive = 0;
    updateMenuState();
    tell(updated ? "Successfully Updated Language Packs." : "Could Not Update Language Packs.",
        "Language Pack");
    showButton(true);
    logLine(" updateButton SW_SHOW C \r\n");
    repaintWindow();
}

void eraseKeysCommand()
{
    constexpr const char* caption = "Erase Bluetooth Encryption Keys";
    if (ask("Do you want to erase your bluetooth encryption keys?\n\nDo this only if the bluetooth connecton "
            "to your "
            "phone is not working.\n\n",
            caption, MessageBoxKind::YesNo, MessageBoxIcon::None)
        != MessageBoxAnswer::Yes)
        return;
    exitOnButton = 1;
    enableMenu(kCommandEraseKeys, false);
    showButton(false);
    showProgress(true);
    sleepFor(2);
    startWorker(eraseKeysThread);
    sleepFor(2);
    if (ask("Make sure to restart your GPS and reset the bluetooth connections on your phone.\n\nLoad "
            "Instructon page "
            "now?",
            caption, MessageBoxKind::YesNo, MessageBoxIcon::None)
        == MessageBoxAnswer::Yes) {
        sleepFor(10);
        if (WindowPort* window = mainWindow()) {
            window->openWebPage((std::string(kMakerSupportSite) + kBondingArticlePath).c_str());
            window->exitProcess(0);
        }
        return;
    }
    sleepFor(2);
    showProgress(false);
    showButton(true);
    setButtonLabel("OK");
}

void forceUpdateCommand()
{
    requestUpdate(" Force -=FORCE REVERSE UPGRADE=- ");
}

void showLogCommand()
{
    WindowPort* window = mainWindow();
    if (!window)
        return;
    if (isSet(logWindowHidden)) {
        logWindowHidden = 0;
        window->showControl(WindowControl::LogWindow, true);
    } else {
        logWindowHidden = 1;
        window->showControl(WindowControl::LogWindow, false);
    }
}

void aboutCommand()
{
    // The message box takes at most 8000 characters.
    std::string text = aboutText();
    if (text.size() > 7999)
        text.resize(7999);
    tell(text.c_str(), "About");
}
