#include "unfinished_flash.h"

#include "backup.h"

#include "platform/files.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <string>

namespace {

std::string markerPath() { return localBackupFolder() + ".flash-unfinished"; }

} // namespace

bool rememberUnfinishedFlash(bool unfinished)
{
    flashIncomplete = unfinished ? 1 : 0;
    const std::string path = markerPath();
    if (!unfinished)
        return platform::deleteFile(path);
    platform::StagingFile marker;
    if (marker.create(path) && marker.close())
        return true;
    logLinef("Could not keep the mark of an unfinished programming at %s\r\n", path.c_str());
    return false;
}

void loadUnfinishedFlash()
{
    flashIncomplete = platform::fileExists(markerPath()) ? 1 : 0;
    if (isSet(flashIncomplete))
        logLine("The last programming of the device did not finish: its firmware is offered again\r\n");
}
