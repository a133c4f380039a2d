/* hidapi's Windows backend (Debian's source package, unchanged) compiled into this file, and the
   project's hid_write_timeout beside it: the timed write needs the library's device record
   (the handle, the output report length, the write's OVERLAPPED and the error text), which
   hid.c keeps to itself. */

#include "hid.c"

#include "hid_write_timeout.h"

size_t tarvel_hid_error_text(wchar_t* out, size_t count, const char* operation, unsigned long code)
{
    if (!out || count == 0)
        return 0;
    WCHAR message[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
        (DWORD)code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, ARRAYSIZE(message), NULL);
    /* The system's message ends in a line end (and sometimes a space). */
    while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' || message[length - 1] == L' '))
        --length;
    message[length] = L'\0';

    /* Operation names are ASCII: widened one character per byte. */
    size_t n = 0;
    for (const char* p = operation ? operation : ""; *p && n + 1 < count; ++p)
        out[n++] = (wchar_t)(unsigned char)*p;
    out[n] = L'\0';
    char number[16];
    snprintf(number, sizeof number, "%ld", (long)code);
    const char* middle = " failed with error ";
    for (const char* p = middle; *p && n + 1 < count; ++p)
        out[n++] = (wchar_t)(unsigned char)*p;
    for (const char* p = number; *p && n + 1 < count; ++p)
        out[n++] = (wchar_t)(unsigned char)*p;
    if (n + 1 < count)
        out[n++] = L':';
    if (n + 1 < count)
        out[n++] = L' ';
    for (DWORD i = 0; i < length && n + 1 < count; ++i)
        out[n++] = message[i];
    out[n] = L'\0';
    return n;
}

static void record_error(hid_device* dev, const char* operation, DWORD code)
{
    wchar_t text[640];
    tarvel_hid_error_text(text, ARRAYSIZE(text), operation, code);
    register_string_error(dev, text);
}

int hid_write_timeout(hid_device* dev, const unsigned char* data, size_t length, int milliseconds)
{
    if (!dev)
        return -1;
    if (!data || length == 0) {
        record_error(dev, "hid_write_timeout", ERROR_INVALID_PARAMETER);
        return -1;
    }
    register_string_error(dev, NULL);

    /* Windows takes exactly the longest output report's length (with the report id byte). */
    const unsigned char* buffer = data;
    if (length < dev->output_report_length) {
        if (dev->write_buf == NULL)
            dev->write_buf = (unsigned char*)malloc(dev->output_report_length);
        if (dev->write_buf == NULL) {
            record_error(dev, "hid_write_timeout", ERROR_NOT_ENOUGH_MEMORY);
            return -1;
        }
        memcpy(dev->write_buf, data, length);
        memset(dev->write_buf + length, 0, dev->output_report_length - length);
        buffer = dev->write_buf;
        length = dev->output_report_length;
    }

    DWORD written = 0;
    if (!WriteFile(dev->device_handle, buffer, (DWORD)length, NULL, &dev->write_ol)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            record_error(dev, "WriteFile", error);
            return -1;
        }
        const DWORD wait = WaitForSingleObject(dev->write_ol.hEvent, milliseconds < 0 ? INFINITE : (DWORD)milliseconds);
        if (wait != WAIT_OBJECT_0) {
            const DWORD waitError = wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
            /* The system still holds the buffer: cancel, and wait until it has let go. */
            CancelIo(dev->device_handle);
            GetOverlappedResult(dev->device_handle, &dev->write_ol, &written, TRUE);
            record_error(dev, "WaitForSingleObject", waitError);
            return -1;
        }
    }
    if (!GetOverlappedResult(dev->device_handle, &dev->write_ol, &written, FALSE)) {
        record_error(dev, "GetOverlappedResult", GetLastError());
        return -1;
    }
    return (int)written;
}

hid_device* tarvel_hid_device_over_handle(void* handle, unsigned short outputReportLength)
{
    hid_device* dev = new_hid_device();
    if (!dev)
        return NULL;
    dev->device_handle = (HANDLE)handle;
    dev->output_report_length = outputReportLength;
    return dev;
}
