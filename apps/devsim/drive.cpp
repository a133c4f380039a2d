#include "drive.h"

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <random>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace devsim {

const std::vector<std::string>& stagedFileNames()
{
    static const std::vector<std::string> names
        = { "nrf_update.bin", "nrf_update.dat", "Kanji_11x12.bin", "Kanji_18x18.bin", "Kanji_19x19.bin" };
    return names;
}

DeviceDrive::~DeviceDrive()
{
    std::error_code ec;
    if (m_full)
        setFull(false);
    if (m_ownsFolder && !m_root.empty())
        fs::remove_all(m_root, ec);
}

bool DeviceDrive::prepare(const std::string& dir, bool seed, std::string& error)
{
    std::error_code ec;
    std::string folder = dir;
    if (folder.empty()) {
        // A new folder of a random name: create_directory says whether this call made it.
        std::random_device random;
        const fs::path base = fs::temp_directory_path(ec);
        for (int attempt = 0; attempt < 100 && folder.empty(); ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "tarvel-drive-%08x", unsigned(random()));
            const fs::path candidate = base / name;
            if (fs::create_directory(candidate, ec)) {
                fs::permissions(candidate, fs::perms::owner_all, ec); // the rider's files: private
                folder = candidate.string();
            }
        }
        if (folder.empty()) {
            error = "cannot create a temporary drive folder";
            return false;
        }
        m_ownsFolder = true;
    }
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
        error = "drive folder " + folder + " cannot be created";
        return false;
    }
    m_root = fs::absolute(folder, ec).lexically_normal().string();
    if (m_root.empty() || m_root.back() != '/')
        m_root.push_back('/');
    fs::create_directories(m_root + "Tarvel", ec);
    if (seed)
        seedUserData();
    return true;
}

void DeviceDrive::seedUserData()
{
    std::error_code ec;
    fs::create_directories(m_root + "Tarvel/Rides", ec);
    std::ofstream(m_root + "Tarvel/Settings.fit", std::ios::binary)
        << "TARVEL-SETTINGS rider=demo units=metric\n";
    std::ofstream(m_root + "Tarvel/Rides/2026-05-01-0930.fit", std::ios::binary)
        << std::string(2048, '\x5A') << "ride-1\n";
    std::ofstream(m_root + "Tarvel/Rides/2026-05-03-1712.fit", std::ios::binary)
        << std::string(1024, '\xA5') << "ride-2\n";
}

void DeviceDrive::wipe()
{
    std::error_code ec;
    bool wasFull = m_full;
    if (wasFull)
        setFull(false);
    // Iterated with error codes: a listing that fails part-way must not throw on the worker.
    std::error_code listing;
    for (fs::directory_iterator it(m_root, listing), end; !listing && it != end; it.increment(listing))
        fs::remove_all(it->path(), ec);
    fs::create_directories(m_root + "Tarvel", ec);
    if (wasFull)
        setFull(true);
}

bool DeviceDrive::readFile(const std::string& name, std::vector<uint8_t>& bytes) const
{
    bytes.clear();
    std::error_code ec;
    if (!fs::is_regular_file(m_root + name, ec))
        return false;
    std::ifstream in(m_root + name, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool DeviceDrive::hasFile(const std::string& name) const
{
    std::error_code ec;
    return fs::is_regular_file(m_root + name, ec);
}

void DeviceDrive::setFull(bool full)
{
    std::error_code ec;
    if (full == m_full)
        return;
    if (full) {
        for (const auto& name : stagedFileNames()) {
            fs::remove(m_root + name, ec);
            fs::create_directory(m_root + name, ec);
        }
        fs::permissions(m_root, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
            fs::perm_options::remove, ec);
    } else {
        fs::permissions(m_root, fs::perms::owner_write, fs::perm_options::add, ec);
        for (const auto& name : stagedFileNames()) {
            if (fs::is_directory(m_root + name, ec))
                fs::remove(m_root + name, ec); // only while still empty
        }
    }
    m_full = full;
}

} // namespace devsim
