// USB presence on Windows: SetupAPI's present devices of the USB enumerator, the first string
// of each one's hardware ids (already "USB\VID_xxxx&PID_xxxx&REV_xxxx").

#include "windows/wide_text.h"
#include "windows/windows_backends.h"

#include <windows.h>

#include <setupapi.h>

#include <vector>

namespace platform::windows_backend {
namespace {

class SetupApiUsbDevices : public UsbDeviceService {
public:
    bool presentHardwareIds(std::vector<std::string>& ids) override
    {
        ids.clear();
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE)
            return false;
        SP_DEVINFO_DATA device {};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            std::vector<wchar_t> buffer(512);
            DWORD type = 0;
            DWORD needed = 0;
            if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type,
                    reinterpret_cast<BYTE*>(buffer.data()), DWORD(buffer.size() * sizeof(wchar_t)), &needed)) {
                if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                    continue;
                buffer.assign(needed / sizeof(wchar_t) + 2, L'\0');
                if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type,
                        reinterpret_cast<BYTE*>(buffer.data()), DWORD(buffer.size() * sizeof(wchar_t)), nullptr))
                    continue;
            }
            buffer.back() = L'\0';
            // A multi-string: its first string is the most specific id.
            std::string id;
            if (narrow(std::wstring(buffer.data()), id) && !id.empty())
                ids.push_back(id);
        }
        SetupDiDestroyDeviceInfoList(set);
        return true;
    }
};

} // namespace

UsbDeviceService& setupApiUsbDevices()
{
    static SetupApiUsbDevices service;
    return service;
}

} // namespace platform::windows_backend
