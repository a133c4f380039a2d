// Device-change events on Windows: a hidden top-level window on a thread of its own, registered
// for device-interface notifications; its WM_DEVICECHANGE messages become the three events in
// the order they come. A message-only window would not get the broadcast volume messages.

#include "windows/windows_backends.h"

#include <windows.h>

#include <dbt.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform::windows_backend {
namespace {

constexpr UINT kStopMessage = WM_APP + 1;
const wchar_t kClassName[] = L"TarvelDeviceChangeWindow";

// The root of the first drive in a volume's unit mask: "E:\".
std::string rootOfUnitMask(DWORD mask)
{
    for (int letter = 0; letter < 26; ++letter) {
        if (mask & (1u << letter))
            return std::string(1, char('A' + letter)) + ":\\";
    }
    return "";
}

class DeviceChangeWindow : public DeviceEventService {
public:
    ~DeviceChangeWindow() override { stop(); }

    bool start(DeviceEventCallback callback) override
    {
        stop();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_callback = std::move(callback);
            m_window = nullptr;
            m_started = false;
            m_failed = false;
        }
        m_thread = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_started || m_failed; });
        if (m_failed) {
            lock.unlock();
            m_thread.join();
            return false;
        }
        return true;
    }

    void stop() override
    {
        HWND window = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            window = m_window;
        }
        if (window)
            PostMessageW(window, kStopMessage, 0, 0);
        if (m_thread.joinable())
            m_thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_window = nullptr;
        m_callback = nullptr;
    }

    HWND window()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_window;
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<DeviceChangeWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self) {
            self->onDeviceChange(wParam, lParam);
            return TRUE;
        }
        if (message == kStopMessage) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void onDeviceChange(WPARAM wParam, LPARAM lParam)
    {
        DeviceEvent event;
        switch (wParam) {
        case DBT_DEVNODES_CHANGED:
            event.kind = DeviceEventKind::NodesChanged;
            break;
        case DBT_DEVICEARRIVAL:
        case DBT_DEVICEREMOVECOMPLETE: {
            event.kind = wParam == DBT_DEVICEARRIVAL ? DeviceEventKind::Arrival : DeviceEventKind::RemoveComplete;
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (header && header->dbch_devicetype == DBT_DEVTYP_VOLUME)
                event.root = rootOfUnitMask(reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header)->dbcv_unitmask);
            break;
        }
        default:
            return;
        }
        // Called on this window's thread only, so the callback sees the messages' order.
        if (m_callback)
            m_callback(event);
    }

    void run()
    {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kClassName;
        RegisterClassExW(&windowClass); // a second registration fails harmlessly
        HWND window = CreateWindowExW(0, kClassName, L"Tarvel device changes", WS_OVERLAPPED, 0, 0, 0, 0,
            nullptr, nullptr, instance, nullptr);
        HDEVNOTIFY notification = nullptr;
        if (window) {
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            // The filter is 32 bytes: size, kind and reserved word, the class GUID and one name char.
            DEV_BROADCAST_DEVICEINTERFACE_W filter {};
            static_assert(sizeof filter == 32);
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            notification = RegisterDeviceNotificationW(
                window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!window) {
                m_failed = true;
                m_changed.notify_all();
                return;
            }
            m_window = window;
            m_started = true;
        }
        m_changed.notify_all();
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (notification)
            UnregisterDeviceNotification(notification);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
    DeviceEventCallback m_callback;
    HWND m_window = nullptr;
    bool m_started = false;
    bool m_failed = false;
};

DeviceChangeWindow& instance()
{
    static DeviceChangeWindow service;
    return service;
}

} // namespace

DeviceEventService& deviceChangeWindow()
{
    return instance();
}

void* deviceChangeWindowHandle()
{
    return instance().window();
}

} // namespace platform::windows_backend
