#pragma once
// The Linux volume service: the mount table joined with udev's facts about each mount's
// block device, and the four removal steps.
//
// How the removal steps map onto Linux:
//   lock          flush the file system (syncfs on its mount point) and make sure that no
//                 process holds it: no open file, working or root directory, or mapped file
//                 on it in any process this user may look at (/proc/<pid>/fd, cwd, root,
//                 maps). Nothing is left held afterwards, so a failed later step leaves the
//                 volume usable. Fails while the volume is busy; the caller retries.
//   dismount      udisks2 org.freedesktop.UDisks2.Filesystem.Unmount on the block object
//                 (found with Manager.ResolveDevice by its node path /dev/NAME, then
//                 by device number). When udisks2 cannot be reached and the process runs
//                 as root: umount2(mount point, 0).
//   allow removal no file system of the volume's disk may still be mounted; as root the
//                 disk is also told to unlock its door (SCSI_IOCTL_DOORUNLOCK, ignored by a
//                 disk that has no such request). udisks2 unlocks the medium itself when it
//                 ejects, so nothing more is sent over D-Bus.
//   eject         udisks2 org.freedesktop.UDisks2.Drive.Eject on the drive of the block
//                 object (its Block.Drive property), and Drive.PowerOff when the drive cannot
//                 eject. When udisks2 cannot be reached and the process runs as root: the
//                 CDROMEJECT ioctl on the disk node.
// Each step returns false when it failed, so the caller's log can say which one did. Only
// removable volumes are taken offline: a step on a fixed volume fails without acting. A
// volume is found by its root in the current mount table; after it was dismounted, by the
// device it had when it was last seen mounted.

#include "linux/volume_facts.h"
#include "platform/volumes.h"

#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::linux_backend {

// udev's facts about the block device with this number (known = false when there is none).
BlockFacts blockFactsOf(unsigned major, unsigned minor);

// The volumes mounted now, without any bookkeeping. False when the mount table cannot be read.
bool listMountedVolumes(std::vector<VolumeInfo>& volumes);

class LinuxVolumes : public VolumeService {
public:
    // umountFallback false: a dismount is udisks2's or none (for checking that udisks2 did it).
    explicit LinuxVolumes(bool umountFallback = true) : m_umountFallback(umountFallback) { }

    bool mountedVolumes(std::vector<VolumeInfo>& volumes) override;
    bool removalStep(const std::string& root, VolumeStep step) override;

private:
    struct Known {
        dev_t device = 0;
        std::string mountPoint;
        bool removable = false;
    };
    // The volume's device and mount point, and whether it is mounted at that root now.
    bool locate(const std::string& root, Known& known, bool& mounted);

    bool lock(const Known& known);
    bool dismount(const Known& known);
    bool allowRemoval(const Known& known);
    bool eject(const Known& known);

    const bool m_umountFallback;
    std::mutex m_mutex; // guards m_known
    std::map<std::string, Known> m_known;
};

VolumeService& linuxVolumes();

} // namespace platform::linux_backend
