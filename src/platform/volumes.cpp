#include "platform/volumes.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace platform {

bool VolumeService::rootFolders(const std::string& root, std::vector<std::string>& names)
{
    names.clear();
    std::error_code listing;
    fs::directory_iterator it(root, listing);
    if (listing)
        return false;
    for (const fs::directory_iterator end; it != end; it.increment(listing)) {
        std::error_code ec;
        if (it->is_directory(ec))
            names.push_back(it->path().filename().string());
    }
    return !listing;
}

} // namespace platform
