#pragma once
// The project's timed write for hidapi's Windows backend, compiled beside the library in
// hid_write_timeout.c, where it reaches the library's device record.

#include <hidapi.h>

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes one output report (data[0] is the report id). A buffer shorter than the device's
// output report length is extended with zero bytes. One overlapped WriteFile, waited for at
// most milliseconds (-1: no limit); on a timeout the write is cancelled and its cancellation
// waited for before the call returns, so no buffer is freed under the system. Returns the byte
// count written, or -1 after a timeout or any other failure, recording for hid_error()
// "<operation> failed with error <code>: <system message>".
int hid_write_timeout(hid_device* device, const unsigned char* data, size_t length, int milliseconds);

// Formats that text into out (count wide characters with the terminating zero), the system's
// message for code from FormatMessageW without its line end. Returns the length written.
size_t tarvel_hid_error_text(wchar_t* out, size_t count, const char* operation, unsigned long code);

// A device record over an open overlapped handle that is not a HID device (a pipe end), with the
// given output report length, so that the timed write can be run against a peer of the
// caller's; hid_close() closes the handle. nullptr when the record cannot be made.
hid_device* tarvel_hid_device_over_handle(void* handle, unsigned short outputReportLength);

#ifdef __cplusplus
}
#endif
