#pragma once
// HID service: the few calls through which the updater and the bootloader transport reach a
// USB-HID device. One backend per platform (linux/: hidapi over hidraw) and one for the
// virtual USB bus (vbus/); the process uses one of them for its whole run.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open device. What it holds is the backend's own business.
struct HidDevice;

class HidService {
public:
    virtual ~HidService() = default;

    // Opens the first present device with this vendor and product id (no serial number).
    // Returns nullptr when there is none.
    virtual HidDevice* open(uint16_t vendorId, uint16_t productId) = 0;

    // Reads one input report into buffer. timeoutMs < 0 waits without limit, 0 does not wait.
    // Returns the byte count (with numbered reports it includes the report id), 0 when nothing
    // arrived in time, -1 on failure.
    virtual int read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) = 0;

    // Writes one output report; data[0] is the report id (0x00 for unnumbered reports).
    // A buffer shorter than the device's output report is extended with zero bytes.
    // Waits at most timeoutMs for completion (-1: no limit). Returns the byte count written,
    // or -1 after a timeout (the write is cancelled) or any other failure; lastError() then
    // holds "<operation> failed with error <code>: <system message>".
    virtual int write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) = 0;

    // The last error recorded for this device (or, with nullptr, for the last open); empty when none.
    virtual std::wstring lastError(HidDevice* device) = 0;

    virtual void close(HidDevice* device) = 0;

    // Releases the library's process-wide resources; a later open starts it again.
    virtual void shutdown() = 0;
};

// The service this process uses: the one installed with setHidService(), otherwise the
// backend chosen for the run (the virtual bus when TARVEL_VBUS is set, else the platform's).
HidService& hidService();

// Installs a service for the whole process (tests, the in-process simulator); nullptr goes
// back to the default. Call it before any device is opened.
void setHidService(HidService* service);

} // namespace platform
