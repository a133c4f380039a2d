#include "image.h"

#include "firmware/asset_records.h"

#include <cstring>

namespace devsim {

namespace fr = firmware_records;

bool findApplication(const FlashMemory& flash, ImageIdentity& identity)
{
    identity = ImageIdentity();
    const uint8_t* base = flash.flash().data() + bl::kApplicationBase;
    uint32_t stack = fr::readLe32(base);
    uint32_t reset = fr::readLe32(base + 4);
    if (stack < fr::kRamStart || stack > fr::kRamEnd)
        return false;
    if ((reset & 1u) == 0 || reset < bl::kApplicationBase || reset >= bl::kFlashSize)
        return false;
    fr::ImageRecord record;
    if (fr::parseImageRecord(base, bl::kFlashSize - bl::kApplicationBase, &record)) {
        identity.hasRecord = true;
        identity.deviceType = int(record.deviceType);
        identity.variant = int(record.variant);
        identity.major = int(record.major);
        identity.minor = int(record.minor);
        identity.length = record.length;
    }
    return true;
}

std::vector<uint8_t> buildApplicationImage(int deviceType, int variant, int major, int minor, uint32_t length)
{
    if (length < fr::kImageRecordOffset + fr::kImageRecordSize)
        length = fr::kImageRecordOffset + fr::kImageRecordSize;
    std::vector<uint8_t> image(length);
    uint32_t seed = 0x9E3779B9u ^ uint32_t(deviceType * 131 + variant * 7 + major * 1000 + minor);
    for (auto& b : image) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    fr::writeLe32(image.data(), 0x20030000u);
    fr::writeLe32(image.data() + 4, bl::kApplicationBase + 0x401u);
    uint8_t* record = image.data() + fr::kImageRecordOffset;
    std::memcpy(record, fr::kImageMagic, 8);
    fr::writeLe32(record + 8, uint32_t(deviceType));
    fr::writeLe32(record + 12, uint32_t(variant));
    fr::writeLe32(record + 16, uint32_t(major));
    fr::writeLe32(record + 20, uint32_t(minor));
    fr::writeLe32(record + 24, length);
    return image;
}

std::vector<uint8_t> buildBootloaderRegion()
{
    std::vector<uint8_t> region(bl::kApplicationBase);
    uint32_t seed = 0x0B007u;
    for (auto& b : region) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    fr::writeLe32(region.data(), 0x20030000u);
    fr::writeLe32(region.data() + 4, 0x00000411u);
    return region;
}

bool bootloaderPresent(const FlashMemory& flash)
{
    return fr::readLe32(flash.flash().data()) != 0xFFFFFFFFu;
}

} // namespace devsim
