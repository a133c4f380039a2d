#pragma once
// The recording layer of the service selection: each service wraps the one the selection
// would otherwise give (asked anew on every call) and writes what passed through it.
// Private to service_selection.cpp.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/usb_devices.h"
#include "platform/volumes.h"

namespace platform::recording_layer {

// True while a recording is being written.
bool active();

HidService& hid(HidService& (*chosen)());
UsbDeviceService& usb(UsbDeviceService& (*chosen)());
VolumeService& volumes(VolumeService& (*chosen)());
DeviceEventService& events(DeviceEventService& (*chosen)());

} // namespace platform::recording_layer
