#pragma once
// Volumes: the roots of the mounted volumes with what a drive search needs to know about
// them, and the four steps that take a removable volume offline safely.

#include <string>
#include <vector>

namespace platform {

struct VolumeInfo {
    std::string root; // absolute path ending in '/'
    std::string label; // volume label, may be empty
    std::string fileSystem; // as the platform user knows it: "FAT32", "FAT", "exFAT", "NTFS", ...
    bool removable = false;
};

// The removal steps, always taken in this order.
enum class VolumeStep { Lock, Dismount, AllowRemoval, Eject };

// The step's name on the virtual bus: "lock", "dismount", "allow_removal", "eject".
inline const char* volumeStepName(VolumeStep step)
{
    switch (step) {
    case VolumeStep::Lock:
        return "lock";
    case VolumeStep::Dismount:
        return "dismount";
    case VolumeStep::AllowRemoval:
        return "allow_removal";
    case VolumeStep::Eject:
        return "eject";
    }
    return "";
}

class VolumeService {
public:
    virtual ~VolumeService() = default;

    // Replaces volumes with the volumes mounted now. False when the list could not be taken.
    virtual bool mountedVolumes(std::vector<VolumeInfo>& volumes) = 0;

    // Runs one removal step on the volume with this root. False when the step failed.
    virtual bool removalStep(const std::string& root, VolumeStep step) = 0;

    // Replaces names with the names of the folders directly in root (links followed). False
    // when root cannot be read. The roots of every backend here are real folders, so all share
    // one listing.
    virtual bool rootFolders(const std::string& root, std::vector<std::string>& names);
};

// The service this process uses (installed, else the virtual bus when selected, else the
// platform's).
VolumeService& volumeService();
void setVolumeService(VolumeService* service);

} // namespace platform
