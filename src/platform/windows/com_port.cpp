// Serial ports on Windows: "\\.\COMn" opened exclusively, 8N1 without flow control, the read
// limits as COMMTIMEOUTS, writes drained with FlushFileBuffers.

#include "windows/wide_text.h"
#include "windows/windows_backends.h"

#include <windows.h>

namespace platform::windows_backend {
namespace {

class ComPort : public SerialPort {
public:
    explicit ComPort(HANDLE handle)
        : m_handle(handle)
    { }
    ~ComPort() override { CloseHandle(m_handle); }
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    int read(uint8_t* buffer, size_t length, int totalMs, int intervalMs) override
    {
        COMMTIMEOUTS timeouts {};
        if (totalMs <= 0) {
            // Only what has already arrived.
            timeouts.ReadIntervalTimeout = MAXDWORD;
        } else {
            timeouts.ReadIntervalTimeout = intervalMs > 0 ? DWORD(intervalMs) : 0;
            timeouts.ReadTotalTimeoutConstant = DWORD(totalMs);
        }
        if (!SetCommTimeouts(m_handle, &timeouts))
            return -1;
        DWORD got = 0;
        if (!ReadFile(m_handle, buffer, DWORD(length), &got, nullptr))
            return -1;
        return int(got);
    }

    int write(const uint8_t* data, size_t length) override
    {
        size_t done = 0;
        while (done < length) {
            DWORD written = 0;
            if (!WriteFile(m_handle, data + done, DWORD(length - done), &written, nullptr) || written == 0)
                return -1;
            done += written;
        }
        if (!FlushFileBuffers(m_handle))
            return -1;
        return int(done);
    }

private:
    HANDLE m_handle;
};

} // namespace

std::unique_ptr<SerialPort> openComPort(const std::string& name, int baudRate, std::string* error)
{
    const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
    HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (error)
            *error = "cannot open serial port " + name + ": " + systemErrorText("CreateFile", code);
        return nullptr;
    }
    // Line settings the device refuses do not fail the open.
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) {
        dcb.BaudRate = DWORD(baudRate);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        SetCommState(handle, &dcb);
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return std::make_unique<ComPort>(handle);
}

} // namespace platform::windows_backend
