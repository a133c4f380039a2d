#include "held_backup_restore.h"

#include "shell_window.h"

#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "storage/backup.h"

#include <cstdio>

namespace {

std::string originQuestion(const HeldBackupOrigin& origin)
{
    char text[512];
    if (origin.known)
        std::snprintf(text, sizeof text,
            "This computer keeps a backup of the data of a %s, made on %s by an earlier run of the "
            "updater.\n\n"
            "Restore it to the connected %s now?",
            origin.modelName.c_str(), origin.date.c_str(), deviceInfo.modelName.c_str());
    else
        std::snprintf(text, sizeof text,
            "This computer keeps a backup of GPS data made by an earlier run of the updater; the device it "
            "came "
            "from was not recorded.\n\nRestore it to the connected %s now?",
            deviceInfo.modelName.c_str());
    return text;
}

} // namespace

void noteHeldBackupOfEarlierRun()
{
    const HeldBackupOrigin origin = heldBackupOrigin();
    if (origin.known)
        logLinef(
            "\r\nHeld backup of an earlier run: %s, %s\r\n", origin.modelName.c_str(), origin.date.c_str());
    else
        logLine("\r\nHeld backup of an earlier run: device not recorded\r\n");
}

void restoreHeldBackup()
{
    if (heldBackupFromEarlierRun()) {
        const std::string question = originQuestion(heldBackupOrigin());
        if (ask(question.c_str(), "Restore Data", MessageBoxKind::YesNo, MessageBoxIcon::Question)
            != MessageBoxAnswer::Yes) {
            logLine("Held backup of an earlier run kept: the restore was declined\r\n");
            return;
        }
    }
    reportStatus(0, nullptr, "Restoring Data...");
    showButton(false);
    showProgress(true);
    repaintWindow();
    saveLocalDataToGps();
}
