#include "fake_volumes.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <stdexcept>

namespace testsupport {

TempFolder::TempFolder()
{
    // A new folder of a random name: create_directory says whether this call made it.
    namespace fs = std::filesystem;
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const fs::path candidate = base / ("tarvel-test-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            fs::permissions(candidate, fs::perms::owner_all, ec);
            m_path = candidate.string() + "/";
        }
    }
    if (m_path.empty())
        throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool fileModesKept()
{
    namespace fs = std::filesystem;
    TempFolder folder;
    const fs::path probe = folder.sub("mode");
    std::error_code ec;
    fs::create_directory(probe, ec);
    fs::permissions(probe, fs::perms::owner_all, ec);
    return !ec && (fs::status(probe, ec).permissions() & fs::perms::all) == fs::perms::owner_all;
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
