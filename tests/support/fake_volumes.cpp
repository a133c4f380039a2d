#include "fake_volumes.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern + "/";
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

FakeVolumes::FakeVolumes() { platform::setVolumeService(this); }
FakeVolumes::~FakeVolumes() { platform::setVolumeService(nullptr); }

std::string FakeVolumes::add(const TempFolder& base, const std::string& name, const std::string& label,
                             const std::string& fileSystem, bool removable)
{
    const std::string root = base.sub(name) + "/";
    std::filesystem::create_directories(root);
    std::lock_guard<std::mutex> lock(m_mutex);
    volumes.push_back({root, label, fileSystem, removable});
    return root;
}

bool FakeVolumes::mountedVolumes(std::vector<platform::VolumeInfo>& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (listFails) {
        out.clear();
        return false;
    }
    out = volumes;
    return true;
}

bool FakeVolumes::removalStep(const std::string& root, platform::VolumeStep step)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    steps.push_back(std::string(platform::volumeStepName(step)) + " " + root);
    switch (step) {
    case platform::VolumeStep::Lock:
        if (lockFailures > 0) {
            --lockFailures;
            return false;
        }
        return true;
    case platform::VolumeStep::Dismount:
        return !dismountFails;
    case platform::VolumeStep::AllowRemoval:
        return !allowRemovalFails;
    case platform::VolumeStep::Eject:
        return !ejectFails;
    }
    return false;
}

} // namespace testsupport
