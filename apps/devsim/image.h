#pragma once
// What the device finds at its application address after a reset, and the images it is
// given at the factory. An application is valid when its vector table is: an initial stack
// pointer inside RAM and a Thumb reset handler inside the application's flash. Its identity
// record at image offset 0x200 names the model, variant and firmware version.

#include "flash_memory.h"

#include <cstdint>
#include <vector>

namespace devsim {

struct ImageIdentity {
    bool hasRecord = false;
    int deviceType = 0;
    int variant = 0; // 0 or 60
    int major = 0;
    int minor = 0;
    uint32_t length = 0;
};

// True when a valid application lies at 0xA000; identity then tells what it says of itself.
bool findApplication(const FlashMemory& flash, ImageIdentity& identity);

// A deterministic application image with a valid vector table and identity record, filled
// with pseudo-random code bytes; length at least 0x220.
std::vector<uint8_t> buildApplicationImage(
    int deviceType, int variant, int major, int minor, uint32_t length);

// The flash bootloader's own 40 KB (what makes the flash bootloader present).
std::vector<uint8_t> buildBootloaderRegion();
bool bootloaderPresent(const FlashMemory& flash);

} // namespace devsim
