#pragma once
// The Linux HID backend: hidapi over hidraw, plus the project's own hid_write_timeout.

#include "platform/hid.h"

namespace platform::linux_backend {

// The process-wide hidapi-backed service.
HidService& hidapiService();

} // namespace platform::linux_backend
