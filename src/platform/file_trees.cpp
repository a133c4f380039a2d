#include "platform/file_trees.h"

#include <array>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace platform {

bool listFilesBelow(const std::string& folder, std::vector<std::string>& relativePaths)
{
    relativePaths.clear();
    std::error_code ec;
    const fs::path root(folder);
    if (!fs::exists(fs::symlink_status(root, ec)))
        return !ec || ec == std::errc::no_such_file_or_directory;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec)
        return false;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            return false;
        const fs::file_status status = it->symlink_status(ec);
        if (ec)
            return false;
        if (fs::is_regular_file(status))
            relativePaths.push_back(fs::relative(it->path(), root, ec).generic_string());
        if (ec)
            return false;
    }
    return !ec;
}

bool sameFileContents(const std::string& first, const std::string& second)
{
    std::error_code ec;
    const fs::file_status a = fs::symlink_status(first, ec);
    const fs::file_status b = fs::symlink_status(second, ec);
    if (!fs::is_regular_file(a) || !fs::is_regular_file(b))
        return false;
    const auto sizeA = fs::file_size(first, ec);
    if (ec)
        return false;
    const auto sizeB = fs::file_size(second, ec);
    if (ec || sizeA != sizeB)
        return false;
    std::ifstream inA(first, std::ios::binary);
    std::ifstream inB(second, std::ios::binary);
    if (!inA || !inB)
        return false;
    std::array<char, 65536> bufferA;
    std::array<char, 65536> bufferB;
    for (;;) {
        inA.read(bufferA.data(), bufferA.size());
        inB.read(bufferB.data(), bufferB.size());
        const std::streamsize gotA = inA.gcount();
        if (gotA != inB.gcount() || !std::equal(bufferA.begin(), bufferA.begin() + gotA, bufferB.begin()))
            return false;
        if (gotA == 0 || inA.eof() || inB.eof())
            return inA.eof() && inB.eof() && !inA.bad() && !inB.bad();
    }
}

bool folderHoldsFilesOf(const std::string& container, const std::string& folder)
{
    std::vector<std::string> files;
    if (!listFilesBelow(folder, files))
        return false;
    for (const std::string& file : files)
        if (!sameFileContents((fs::path(folder) / file).string(), (fs::path(container) / file).string()))
            return false;
    return true;
}

bool copyWouldReplace(const std::string& from, const std::string& to)
{
    std::vector<std::string> files;
    if (!listFilesBelow(from, files))
        return true;
    for (const std::string& file : files) {
        const fs::path target = fs::path(to) / file;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(target, ec);
        if (ec && ec != std::errc::no_such_file_or_directory)
            return true;
        if (!fs::exists(status)) {
            // Something other than a folder where a folder of the path would go is replaced too.
            // POSIX says so for the file itself (not a directory); Windows says only "not found".
            for (fs::path parent = target.parent_path(); parent != fs::path(to) && parent.has_relative_path();
                 parent = parent.parent_path()) {
                const fs::file_status above = fs::symlink_status(parent, ec);
                if (fs::exists(above) && !fs::is_directory(above))
                    return true;
            }
            continue;
        }
        if (!sameFileContents((fs::path(from) / file).string(), target.string()))
            return true;
    }
    return false;
}

bool movePath(const std::string& from, const std::string& to)
{
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec)))
        return false;
    fs::rename(from, to, ec);
    return !ec;
}

} // namespace platform

namespace platform {

bool replacePath(const std::string& from, const std::string& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

} // namespace platform
