#pragma once
// A NOR flash part and the RAM beside it. Erased flash reads 0xFF; erasing works on whole
// sectors; programming needs erased bytes and an aligned start. Every refusal is a status
// code of the bootloader protocol.

#include "bootloader_protocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

class FlashMemory {
public:
    FlashMemory();

    // protectedEnd: bytes below it belong to the flash bootloader and cannot be touched
    // (0 when the ROM bootloader is running and the whole flash is open).
    uint32_t eraseRegion(uint32_t start, uint32_t count, uint32_t protectedEnd);
    uint32_t eraseAll(uint32_t protectedEnd);

    // Checks a write or fill before its data arrives.
    uint32_t checkWrite(uint32_t start, uint32_t count, uint32_t protectedEnd) const;
    // Checks a read.
    uint32_t checkRead(uint32_t start, uint32_t count) const;

    // Writes bytes at address (flash or RAM) after checkWrite accepted the whole range. A flash
    // byte that is not erased refuses the whole piece with kFlashCommandFailure.
    uint32_t write(uint32_t address, const uint8_t* data, size_t length);
    void read(uint32_t address, uint8_t* out, size_t length) const;

    // Places bytes without any check (the factory's programming of a fresh device).
    void load(uint32_t address, const std::vector<uint8_t>& bytes);

    const std::vector<uint8_t>& flash() const { return m_flash; }
    bool isErased(uint32_t start, uint32_t count) const;
    unsigned eraseCount() const { return m_eraseCount; }

private:
    static bool inFlash(uint64_t start, uint64_t count);
    static bool inRam(uint64_t start, uint64_t count);

    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_ram;
    unsigned m_eraseCount = 0;
};

} // namespace devsim
