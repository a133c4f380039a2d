#pragma once
// A volume service over folders of a test: each volume is a real temporary folder, so the
// storage code reads and writes it with its ordinary file operations.

#include "platform/volumes.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& path() const { return m_path; } // ends in '/'
    std::string sub(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// Whether the system keeps POSIX file modes (Windows keeps only a read-only flag), for checks of
// the private folders' mode 0700.
bool fileModesKept();

class FakeVolumes : public platform::VolumeService {
public:
    FakeVolumes();  // installs itself as the process's volume service
    ~FakeVolumes() override;

    // Adds a volume whose root is a new folder below base; returns the root (ending in '/').
    std::string add(const TempFolder& base, const std::string& name, const std::string& label,
                    const std::string& fileSystem, bool removable);

    bool listFails = false;
    int lockFailures = 0; // the first n lock steps fail
    bool dismountFails = false;
    bool allowRemovalFails = false;
    bool ejectFails = false;
    std::vector<std::string> steps; // "lock /root/" ...

    bool mountedVolumes(std::vector<platform::VolumeInfo>& volumes) override;
    bool removalStep(const std::string& root, platform::VolumeStep step) override;

    std::vector<platform::VolumeInfo> volumes;

private:
    std::mutex m_mutex;
};

} // namespace testsupport
