#include "run_options.h"

#include "held_backup_restore.h"
#include "window_procedure.h"

#include <cstring>

namespace {
RunOptions g_options;

// The two questions that offer to open a web page: the update alert after start-up and the
// erase-keys flow's instruction page.
bool offersWebPage(const char* text, const char* caption)
{
    return (caption && std::strcmp(caption, "Update Alert") == 0)
        || (text && std::strstr(text, "Load Instructon page now?") != nullptr);
}

// A backup that may not be the connected device's own: nobody is there to look, so it stays.
bool restoresForeignBackup(const char* text)
{
    return text && std::strstr(text, kForeignBackupNote) != nullptr;
}
// Unattended, device work is never abandoned half-way.
bool abandonsDeviceWork(const char* text)
{
    return text && std::strcmp(text, kCloseDuringDeviceWork) == 0;
}
} // namespace

void setRunOptions(const RunOptions& options)
{
    g_options = options;
}
const RunOptions& runOptions()
{
    return g_options;
}

MessageBoxAnswer autoAnswer(const char* text, const char* caption, MessageBoxKind kind)
{
    switch (kind) {
    case MessageBoxKind::Ok:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::OkCancel:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::YesNo:
        return offersWebPage(text, caption) || restoresForeignBackup(text) || abandonsDeviceWork(text)
            ? MessageBoxAnswer::No
                                                                            : MessageBoxAnswer::Yes;
    }
    return MessageBoxAnswer::Ok;
}
