#pragma once
// SHA-256 of a byte stream, for describing a drive's files in a recording without their
// contents.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::recording {

class Sha256 {
public:
    Sha256();
    void update(const uint8_t* data, size_t length);
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string hexDigest();

private:
    void block(const uint8_t* chunk);

    uint32_t m_state[8];
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
    uint64_t m_total = 0;
};

// The digest of one file, false when it cannot be read.
bool sha256OfFile(const std::string& path, std::string& hex);

} // namespace platform::recording
