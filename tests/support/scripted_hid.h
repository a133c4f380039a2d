#pragma once
// A HID service that plays a script instead of talking to a device: tests queue the input
// reports the "device" returns and inspect every report written. A responder may also answer
// each write as it arrives, which lets a test stand in for a device that replies to commands.

#include "platform/hid.h"

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

class ScriptedHid : public platform::HidService {
public:
    // One step of what a read returns.
    struct Input {
        enum Kind { Report, Silence, Failure } kind = Report;
        Bytes bytes; // for Report
    };

    // Installs itself as the process's HID service; the destructor restores the default.
    ScriptedHid();
    ~ScriptedHid() override;

    // Script
    void queueReport(Bytes bytes);
    void queueSilence(int count = 1); // reads that return 0 (nothing within the time limit)
    void queueFailure();              // a read that returns -1
    bool openSucceeds = true;
    int writeResult = -2; // -2: return the length written; otherwise return this value
    std::wstring errorText = L"WriteFile failed with error 31: A device attached to the system is not functioning.";
    // Called for every write, before it is recorded as done; may queue replies.
    std::function<void(const Bytes& written)> onWrite;

    // What happened
    std::vector<Bytes> writes;
    std::vector<int> readTimeouts; // the time limit of every read, in order
    std::vector<int> writeTimeouts;
    uint16_t openedVendor = 0, openedProduct = 0;
    int opens = 0, closes = 0, shutdowns = 0, reads = 0;
    size_t pendingInputs() const;

    // HidService
    platform::HidDevice* open(uint16_t vendorId, uint16_t productId) override;
    int read(platform::HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) override;
    int write(platform::HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) override;
    std::wstring lastError(platform::HidDevice* device) override;
    void close(platform::HidDevice* device) override;
    void shutdown() override;

private:
    mutable std::mutex m_mutex;
    std::deque<Input> m_inputs;
    bool m_lastWriteFailed = false;
};

} // namespace testsupport
