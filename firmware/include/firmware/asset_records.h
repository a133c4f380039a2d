#pragma once
// Layouts of the identity records that the placeholder firmware assets carry, so that a device
// stand-in can tell which image was programmed and which wireless package or font was staged.
// All integers are little-endian; text fields are zero-padded to their full width.
// Header only, no dependencies beyond the standard library.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace firmware_records {

// Main firmware image, linked for flash address 0xA000.
// At image offset 0x200 (absolute 0xA200), 28 bytes:
//   0  char[8]  "TRVLIMG1"
//   8  u32      device type (4..16)
//   12 u32      variant (0 standard, 60 Japanese)
//   16 u32      firmware major version
//   20 u32      firmware minor version
//   24 u32      image length in bytes (the decoded image, vector table included)
constexpr uint32_t kImageBaseAddress = 0xA000;
constexpr size_t kImageRecordOffset = 0x200;
constexpr size_t kImageRecordSize = 28;
constexpr char kImageMagic[9] = "TRVLIMG1";

// Vector table at image offset 0: word 0 the initial stack pointer (inside RAM), word 1 the
// reset handler (Thumb bit set, just above the base address and inside the image).
constexpr uint32_t kRamStart = 0x1FFF0000;
constexpr uint32_t kRamEnd = 0x20040000;

// nrf_update.bin: 32 bytes at offset 0:
//   0  char[8]  "TRVLNRF1"
//   8  char[24] dotted version text the device reports after applying it ("2.13.33.26"), zero-padded
constexpr size_t kNordicRecordSize = 32;
constexpr size_t kNordicVersionOffset = 8;
constexpr size_t kNordicVersionSize = 24;
constexpr char kNordicMagic[9] = "TRVLNRF1";

// nrf_update.dat: 8 bytes at offset 0: "TRVLDAT1".
constexpr size_t kNordicDatRecordSize = 8;
constexpr char kNordicDatMagic[9] = "TRVLDAT1";

// Kanji font file: 24 bytes at offset 0:
//   0  char[8]  "TRVLKNJ1"
//   8  char[16] file name ("Kanji_18x18.bin"), zero-padded
constexpr size_t kKanjiRecordSize = 24;
constexpr size_t kKanjiNameOffset = 8;
constexpr size_t kKanjiNameSize = 16;
constexpr char kKanjiMagic[9] = "TRVLKNJ1";

struct ImageRecord {
    uint32_t deviceType = 0;
    uint32_t variant = 0;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t length = 0;
};

inline uint32_t readLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void writeLe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Reads the identity record of a decoded image (or of flash read back from 0xA000).
// False when the bytes are too short or carry no record.
inline bool parseImageRecord(const uint8_t* image, size_t length, ImageRecord* out)
{
    if (length < kImageRecordOffset + kImageRecordSize)
        return false;
    const uint8_t* r = image + kImageRecordOffset;
    if (std::memcmp(r, kImageMagic, 8) != 0)
        return false;
    out->deviceType = readLe32(r + 8);
    out->variant = readLe32(r + 12);
    out->major = readLe32(r + 16);
    out->minor = readLe32(r + 20);
    out->length = readLe32(r + 24);
    return true;
}

// Copies the version text of a decoded nrf_update.bin into text (at least 25 bytes).
inline bool parseNordicRecord(const uint8_t* bytes, size_t length, char* text, size_t textSize)
{
    if (length < kNordicRecordSize || textSize <= kNordicVersionSize
        || std::memcmp(bytes, kNordicMagic, 8) != 0)
        return false;
    std::memcpy(text, bytes + kNordicVersionOffset, kNordicVersionSize);
    text[kNordicVersionSize] = 0;
    return true;
}

inline bool isNordicDat(const uint8_t* bytes, size_t length)
{
    return length >= kNordicDatRecordSize && std::memcmp(bytes, kNordicDatMagic, 8) == 0;
}

// Copies the file name of a decoded font into name (at least 17 bytes).
inline bool parseKanjiRecord(const uint8_t* bytes, size_t length, char* name, size_t nameSize)
{
    if (length < kKanjiRecordSize || nameSize <= kKanjiNameSize || std::memcmp(bytes, kKanjiMagic, 8) != 0)
        return false;
    std::memcpy(name, bytes + kKanjiNameOffset, kKanjiNameSize);
    name[kKanjiNameSize] = 0;
    return true;
}

} // namespace firmware_records
