#include "flash_memory.h"

#include <algorithm>

namespace devsim {

using namespace bl;

FlashMemory::FlashMemory()
    : m_flash(kFlashSize, 0xFF)
    , m_ram(kRamSize, 0x00)
{ }

bool FlashMemory::inFlash(uint64_t start, uint64_t count)
{
    return start >= kFlashStart && start + count <= uint64_t(kFlashStart) + kFlashSize;
}

bool FlashMemory::inRam(uint64_t start, uint64_t count)
{
    return start >= kRamStart && start + count <= uint64_t(kRamStart) + kRamSize;
}

uint32_t FlashMemory::eraseRegion(uint32_t start, uint32_t count, uint32_t protectedEnd)
{
    if (start % kSectorSize != 0 || count % kSectorSize != 0)
        return kFlashAlignmentError;
    if (!inFlash(start, count))
        return kFlashAddressError;
    if (count == 0)
        return kSuccess;
    if (start < protectedEnd)
        return kFlashProtectionViolation;
    std::fill(m_flash.begin() + start, m_flash.begin() + start + count, 0xFF);
    ++m_eraseCount;
    return kSuccess;
}

uint32_t FlashMemory::eraseAll(uint32_t protectedEnd)
{
    std::fill(m_flash.begin() + protectedEnd, m_flash.end(), 0xFF);
    ++m_eraseCount;
    return kSuccess;
}

uint32_t FlashMemory::checkWrite(uint32_t start, uint32_t count, uint32_t protectedEnd) const
{
    if (inRam(start, count))
        return kSuccess;
    if (!inFlash(start, count))
        return kMemoryRangeInvalid;
    if (start % kProgramUnit != 0)
        return kFlashAlignmentError;
    if (count != 0 && start < protectedEnd)
        return kFlashProtectionViolation;
    return kSuccess;
}

uint32_t FlashMemory::checkRead(uint32_t start, uint32_t count) const
{
    return inFlash(start, count) || inRam(start, count) ? kSuccess : kMemoryRangeInvalid;
}

bool FlashMemory::isErased(uint32_t start, uint32_t count) const
{
    if (!inFlash(start, count))
        return false;
    return std::all_of(
        m_flash.begin() + start, m_flash.begin() + start + count, [](uint8_t b) { return b == 0xFF; });
}

uint32_t FlashMemory::write(uint32_t address, const uint8_t* data, size_t length)
{
    if (inRam(address, length)) {
        std::copy(data, data + length, m_ram.begin() + (address - kRamStart));
        return kSuccess;
    }
    if (!inFlash(address, length))
        return kMemoryRangeInvalid;
    if (!isErased(address, uint32_t(length)))
        return kFlashCommandFailure;
    std::copy(data, data + length, m_flash.begin() + address);
    return kSuccess;
}

void FlashMemory::read(uint32_t address, uint8_t* out, size_t length) const
{
    if (inRam(address, length))
        std::copy(m_ram.begin() + (address - kRamStart), m_ram.begin() + (address - kRamStart) + length, out);
    else if (inFlash(address, length))
        std::copy(m_flash.begin() + address, m_flash.begin() + address + length, out);
}

void FlashMemory::load(uint32_t address, const std::vector<uint8_t>& bytes)
{
    if (inFlash(address, bytes.size()))
        std::copy(bytes.begin(), bytes.end(), m_flash.begin() + address);
}

} // namespace devsim
