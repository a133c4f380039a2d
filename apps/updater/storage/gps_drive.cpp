#include "gps_drive.h"

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/volumes.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "state/shared_text.h"

namespace {

SharedText g_foundRoot{""};

constexpr int kLockAttempts = 20;
constexpr int kLockRetryMs = 500;
constexpr int kPassWaitMs = 1000;

bool labelMatches(const std::string& label)
{
    return label.find("Tarvel") != std::string::npos || label.find("TARVEL") != std::string::npos ||
           label.find("tarvel") != std::string::npos;
}

// A folder in the root whose name holds "Tarvel" (this form only).
bool hasTarvelFolder(const std::string& root)
{
    std::vector<std::string> folders;
    platform::volumeService().rootFolders(root, folders);
    for (const std::string& name : folders)
        if (name.find("Tarvel") != std::string::npos)
            return true;
    return false;
}

std::vector<platform::VolumeInfo> removableVolumes()
{
    std::vector<platform::VolumeInfo> volumes;
    if (!platform::volumeService().mountedVolumes(volumes))
        volumes.clear();
    std::vector<platform::VolumeInfo> removable;
    for (auto& volume : volumes)
        if (volume.removable && !volume.root.empty())
            removable.push_back(volume);
    return removable;
}

void debugRoot(const std::string& root) { platform::debugOutput((root + "\n").c_str()); }

// Still the device's drive: mounted at root, removable, and recognised as the passes would.
bool stillTheDrive(const std::string& root)
{
    for (const auto& volume : removableVolumes())
        if (volume.root == root)
            return labelMatches(volume.label)
                || (volume.fileSystem.find("FAT") != std::string::npos && hasTarvelFolder(volume.root));
    return false;
}

} // namespace

std::string findGpsDrive()
{
    const std::string known = g_foundRoot.get();
    if (!known.empty()) {
        if (stillTheDrive(known))
            return known;
        // Unmounted, or another drive mounted there now: never write to a stale mount folder.
        g_foundRoot.set("");
    }
    std::string found;

    // Label pass: a later matching drive replaces an earlier one.
    platform::pause(platform::Milliseconds(kPassWaitMs));
    for (const auto& volume : removableVolumes()) {
        if (labelMatches(volume.label))
            found = volume.root;
        debugRoot(volume.root);
    }
    if (found.empty()) {
        // Folder pass: a FAT volume with a Tarvel folder in its root.
        platform::pause(platform::Milliseconds(kPassWaitMs));
        for (const auto& volume : removableVolumes()) {
            if (volume.fileSystem.find("FAT") != std::string::npos && hasTarvelFolder(volume.root))
                found = volume.root;
            debugRoot(volume.root);
        }
    }
    if (!found.empty())
        g_foundRoot.set(found);
    return found;
}

void ejectGpsDrive(const std::string& root)
{
    std::vector<platform::VolumeInfo> volumes;
    platform::volumeService().mountedVolumes(volumes);
    bool mounted = false;
    for (const auto& volume : volumes)
        mounted = mounted || volume.root == root;
    if (!mounted)
        return;

    platform::VolumeService& service = platform::volumeService();
    bool locked = false;
    for (int attempt = 0; attempt < kLockAttempts && !locked; ++attempt) {
        locked = service.removalStep(root, platform::VolumeStep::Lock);
        if (!locked)
            platform::pause(platform::Milliseconds(kLockRetryMs));
    }
    if (!locked)
        logLinef("Drive %s could not be locked, dismounting anyway\r\n", root.c_str());
    if (!service.removalStep(root, platform::VolumeStep::Dismount)) {
        logLinef("Drive %s could not be dismounted\r\n", root.c_str());
        return;
    }
    bool ejected = false;
    if (service.removalStep(root, platform::VolumeStep::AllowRemoval))
        ejected = service.removalStep(root, platform::VolumeStep::Eject);
    if (ejected)
        logLinef("Media in Drive %s has been ejected safely.\r\n", root.c_str());
    else
        logLinef("Media in Drive %s can be safely removed.\r\n", root.c_str());
}

std::string gpsDriveForUse()
{
    const std::string known = gpsDrivePath.get();
    if (known.empty())
        return "";
    if (stillTheDrive(known)) {
        g_foundRoot.set(known);
        return known;
    }
    g_foundRoot.set("");
    const std::string root = findGpsDrive();
    // A drive that is away now (its device is restarting or was unplugged) is looked for
    // again at the next use; only a drive found elsewhere replaces the known root.
    if (!root.empty())
        gpsDrivePath.set(root);
    return root;
}

void forgetGpsDrive() { g_foundRoot.set(""); }
