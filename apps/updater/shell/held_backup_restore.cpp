#include "held_backup_restore.h"

#include "shell_window.h"

#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "storage/backup.h"
#include "textutil/format.h"

#include <string>

namespace {

std::string originText(const HeldBackupOrigin& origin)
{
    if (origin.known)
        return textutil::format("the data of a %s, made on %s", origin.modelName.c_str(), origin.date.c_str());
    return "GPS data, from a device that was not recorded,";
}

bool sameModel(const HeldBackupOrigin& origin)
{
    return origin.known && origin.deviceType == deviceInfo.deviceType;
}

std::string originQuestion(const HeldBackupOrigin& origin)
{
    if (origin.known && sameModel(origin))
        return textutil::format("This computer keeps a backup of the data of a %s, made on %s by an earlier run of "
                                "the updater.\n\nRestore it to the connected %s now?",
            origin.modelName.c_str(), origin.date.c_str(), deviceInfo.modelName.c_str());
    return textutil::format("This computer keeps a backup of %s by an earlier run of the updater. %s\n\n"
                            "Restore it to the connected %s now?",
        originText(origin).c_str(), kForeignBackupNote, deviceInfo.modelName.c_str());
}

void keepForLater(const char* why)
{
    logLinef("Held backup of an earlier run kept in %s: %s\r\n", localBackupFolder().c_str(), why);
    keepHeldBackupForLater();
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

bool restoreHeldBackup()
{
    if (heldBackupFromEarlierRun()) {
        const HeldBackupOrigin origin = heldBackupOrigin();
        // Once the device's disk was reset after the backup, the backup is the newest copy of
        // its files, and putting it back is what that run would have done.
        const bool resetSince = origin.diskReset && sameModel(origin);
        if (!resetSince && restoreWouldReplaceDriveFiles()) {
            const std::string text = textutil::format(
                "This computer keeps a backup of %s by an earlier run of the updater, in %s.\n\n"
                "It was not put back on the connected %s: the GPS holds files of the same names that differ "
                "from it, and putting it back would replace them.",
                originText(origin).c_str(), localBackupFolder().c_str(), deviceInfo.modelName.c_str());
            tell(text.c_str(), "Restore Data");
            keepForLater("the GPS holds newer files of the same names");
            return true;
        }
        const std::string question = originQuestion(origin);
        if (ask(question.c_str(), "Restore Data", MessageBoxKind::YesNo, MessageBoxIcon::Question)
            != MessageBoxAnswer::Yes) {
            keepForLater("the restore was declined");
            return true;
        }
    }
    reportStatus(0, nullptr, "Restoring Data...");
    showButton(false);
    showProgress(true);
    repaintWindow();
    return saveLocalDataToGps();
}

void restoreOrTellOfBackupSetAside()
{
    static std::string told; // window thread only
    bool mayGoBack = false;
    const std::string folder = backupSetAsideThisRun(&mayGoBack);
    if (folder.empty() || folder == told)
        return;
    told = folder;
    if (mayGoBack && !setAsideBackupWouldReplaceDriveFiles()) {
        const std::string question = textutil::format(
            "This computer keeps the data that the connected %s held before an earlier update of it was "
            "interrupted, in %s. Putting it back adds its files to the GPS and replaces none.\n\n"
            "Put it back now?",
            deviceInfo.modelName.c_str(), folder.c_str());
        if (ask(question.c_str(), "Restore Data", MessageBoxKind::YesNo, MessageBoxIcon::Question)
            == MessageBoxAnswer::Yes) {
            reportStatus(0, nullptr, "Restoring Data...");
            repaintWindow();
            if (restoreSetAsideBackup())
                return;
        }
    }
    const std::string text = textutil::format(
        "An earlier backup of GPS data on this computer was set aside, not put on this GPS, because the GPS "
        "holds data that the backup does not have. It is kept in %s.",
        folder.c_str());
    tell(text.c_str(), "Restore Data");
}
