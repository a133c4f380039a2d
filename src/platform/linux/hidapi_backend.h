#pragma once
// The Linux HID backend: hidapi over hidraw, plus the project's own hid_write_timeout.

#include "platform/hid.h"

#include <cstddef>
#include <string>

namespace platform::linux_backend {

// The process-wide hidapi-backed service.
HidService& hidapiService();

// Writes one output report (data[0] is the report id) to a device opened by hidapiService():
// a buffer shorter than the device's output report for that id is extended with zero
// bytes; waits at most milliseconds for the write to complete (-1: no limit). Returns the
// byte count written, or -1 after a timeout (the write is abandoned) or any other failure,
// recording "<call> failed with error <errno>: <strerror>" for lastError().
int hid_write_timeout(HidDevice* device, const unsigned char* data, size_t length, int milliseconds);

// The error text recorded for a failed system call: "<call> failed with error <errno>: <strerror>".
std::wstring hidErrorText(const char* call, int error);

} // namespace platform::linux_backend
