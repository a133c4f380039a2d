#include "staging.h"

#include "platform/files.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"

StageResult stageFile(const std::string& localPath, const std::string& drivePath, const uint8_t* bytes, size_t length)
{
    const char* local = localPath.c_str();
    platform::StagingFile file;
    if (!file.create(localPath)) {
        logLinef("Could not open source %s !...\r\n", local);
        return StageResult::LocalCreateFailed;
    }
    logLinef("%s opened/created source successfully.\r\n", local);
    bool written = false;
    if (file.lockRange(0, length)) {
        logLinef("Locking\n source %s...\r\n", local);
        written = file.write(bytes, length);
        if (file.unlockRange(0, length))
            logLinef("Unlocking\n source %s...\r\n", local);
    }
    const bool closed = file.close();
    logLinef("source %s \n closed!\r\n", local);
    // A local copy that is not whole must not reach the drive: the device would apply it.
    if (!written || !closed || !platform::copyFile(localPath, drivePath)) {
        logLinef("xfer FAIL source %s\n to\n target %s...\r\n", local, drivePath.c_str());
        return StageResult::CopyFailed;
    }
    logLinef("xfer SUCCESS source %s\n to\n target %s...\r\n", local, drivePath.c_str());
    return StageResult::Done;
}

bool createStagingFolder()
{
    const std::string folder = platform::stagingFolder();
    if (!folder.empty() && platform::createFolder(folder) != platform::FolderResult::Failed) {
        logLine("Success created folder C:Tarvel !...\r\n");
        return true;
    }
    logLine("Could not create folder C:Tarvel !...\r\n");
    logLinef("(local staging folder %s)\r\n", folder.c_str());
    // The rider is told the folder this computer really uses (no home: just its name).
    const std::string shown = folder.empty() ? std::string("Tarvel") : folder;
    const std::string message = "Error\nUnable to create " + shown + " folder.";
    const std::string detail = shown + " folder needed";
    reportStatus(1, message.c_str(), detail.c_str());
    return false;
}
