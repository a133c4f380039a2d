#pragma once
// The device's USB drive: a real host folder that the updater reads and writes with ordinary
// file operations while the device presents it, and that the device itself reads for its
// wireless and font jobs.

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

class DeviceDrive {
public:
    ~DeviceDrive();

    // Uses dir as the drive (created when missing); an empty dir makes a fresh temporary
    // folder that is removed again with the drive. seed puts a little user data in Tarvel/.
    bool prepare(const std::string& dir, bool seed, std::string& error);

    const std::string& root() const { return m_root; } // ends in '/'

    // What a factory reset leaves: an empty drive with an empty Tarvel folder.
    void wipe();
    void seedUserData();

    bool readFile(const std::string& name, std::vector<uint8_t>& bytes) const;
    bool hasFile(const std::string& name) const;

    // The full-drive fault: the names the updater stages cannot be written (a folder stands
    // in their place, which fails for every user, root included), and the drive root is
    // made read-only. Undone by setFull(false).
    void setFull(bool full);
    bool isFull() const { return m_full; }

private:
    std::string m_root;
    bool m_ownsFolder = false;
    bool m_full = false;
};

// Names the full-drive fault blocks.
const std::vector<std::string>& stagedFileNames();

} // namespace devsim
