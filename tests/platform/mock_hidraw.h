#pragma once
// One USB HID device in a mocked /sys (libumockdev): the USB device, its interface, its hid
// device with the report descriptor and its hidraw node, whose ioctls, writes and reads are
// served from a thread of the test's process. The process must run under the mocking
// library's preload (runUnderMockPreload in its main).

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/hidraw.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace mockhid {

using Bytes = std::vector<uint8_t>;

// Unnumbered 64-byte reports in and out, as the application face has them.
inline const Bytes kAppDescriptor = { 0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
    0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0 };
// Numbered reports as the bootloaders have them: 1 and 2 out, 3 and 4 in, 34 bytes each.
inline const Bytes kBootDescriptor = { 0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x22,
    0x85, 0x01, 0x09, 0x01, 0x91, 0x02, 0x85, 0x02, 0x09, 0x01, 0x91, 0x02, 0x85, 0x03, 0x09, 0x01,
    0x81, 0x02, 0x85, 0x04, 0x09, 0x01, 0x81, 0x02, 0xC0 };

// One USB HID device in a mocked /sys, its hidraw node served from a thread of this process.
class MockHidrawDevice {
public:
    // onWritten: called with each report written, on the serving thread. nodeDelay: how long
    // after its USB device the hidraw node appears (the kernel makes it last). bed: a testbed
    // made earlier, so that monitors opened before the plug already listen to it (kept by the
    // caller); none: one of the device's own.
    MockHidrawDevice(uint16_t vendor, uint16_t product, Bytes descriptor,
        std::function<void(const Bytes&)> onWritten = {},
        std::chrono::milliseconds nodeDelay = std::chrono::milliseconds(0), UMockdevTestbed* bed = nullptr)
        : m_descriptor(std::move(descriptor))
        , m_onWritten(std::move(onWritten))
    {
        m_bed = bed ? UMOCKDEV_TESTBED(g_object_ref(bed)) : umockdev_testbed_new();
        std::string hidPath;
        char vid[8], pid[8], hidId[40], hidName[24];
        std::snprintf(vid, sizeof vid, "%04x", vendor);
        std::snprintf(pid, sizeof pid, "%04x", product);
        std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
        std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.0001", vendor, product);
        gchar* usb = umockdev_testbed_add_device(m_bed, "usb", "1-1", nullptr, "idVendor", vid,
            "idProduct", pid, "bcdDevice", "0100", "manufacturer", "Tarvel", "product", "Peak Pro",
            "serial", "T0001", nullptr, "DEVTYPE", "usb_device", nullptr);
        gchar* interface = umockdev_testbed_add_device(m_bed, "usb", "1-1:1.0", usb,
            "bInterfaceNumber", "00", nullptr, "DEVTYPE", "usb_interface", nullptr);
        gchar* hid = umockdev_testbed_add_device(m_bed, "hid", hidName, interface, nullptr, "HID_ID",
            hidId, "HID_NAME", "Tarvel Peak Pro", "HID_UNIQ", "T0001", nullptr);
        umockdev_testbed_set_attribute_binary(
            m_bed, hid, "report_descriptor", m_descriptor.data(), gint(m_descriptor.size()));
        std::this_thread::sleep_for(nodeDelay);
        // A recorded node ("N:") gets a device file; the ioctl handler is attached to it.
        std::string node = std::string("P: ") + (hid + 4) + "/hidraw/hidraw0\nN: hidraw0\n"
            + "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\nE: MAJOR=243\nE: MINOR=0\nA: dev=243:0\n";
        GError* error = nullptr;
        m_ok = umockdev_testbed_add_from_string(m_bed, node.c_str(), &error);
        if (error)
            g_error_free(error);
        // hidapi finds the usage page through the node's link to its hid device.
        gchar* sys = umockdev_testbed_get_sys_dir(m_bed);
        std::string hidraw = std::string(sys) + "/.." + hid + "/hidraw/hidraw0/device";
        std::string target = std::string(sys) + "/.." + hid;
        m_ok = m_ok && ::symlink(target.c_str(), hidraw.c_str()) == 0;
        g_free(sys);
        g_free(usb);
        g_free(interface);
        hidPath = hid;
        g_free(hid);

        m_context = g_main_context_new();
        g_main_context_push_thread_default(m_context);
        m_handler = UMOCKDEV_IOCTL_BASE(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
        g_signal_connect(m_handler, "handle-write", G_CALLBACK(onWrite), this);
        g_signal_connect(m_handler, "handle-read", G_CALLBACK(onRead), this);
        m_ok = m_ok && umockdev_testbed_attach_ioctl(m_bed, "/dev/hidraw0", m_handler, nullptr);
        g_main_context_pop_thread_default(m_context);
        // Reads go to the handler, but poll() sees the node's pty itself: one byte on the pty
        // for each queued report makes it readable, and the handler takes the byte back.
        m_master = umockdev_testbed_get_dev_fd(m_bed, "/dev/hidraw0");
        gchar* root = umockdev_testbed_get_root_dir(m_bed);
        char pty[64] = {};
        ssize_t n = ::readlink((std::string(root) + "/dev/hidraw0").c_str(), pty, sizeof pty - 1);
        g_free(root);
        m_slave = n > 0 ? ::open(pty, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
        if (m_slave >= 0) {
            termios raw {};
            ::tcgetattr(m_slave, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(m_slave, TCSANOW, &raw);
        }
        m_ok = m_ok && m_master >= 0 && m_slave >= 0;
        // The node was announced before its handler was attached: announce it again, served.
        m_nodePath = hidPath + "/hidraw/hidraw0";
        umockdev_testbed_uevent(m_bed, m_nodePath.c_str(), "add");
        m_thread = std::thread([this] {
            g_main_context_push_thread_default(m_context);
            while (!m_stop)
                if (!g_main_context_iteration(m_context, FALSE))
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
            g_main_context_pop_thread_default(m_context);
        });
    }

    ~MockHidrawDevice()
    {
        m_stop = true;
        m_thread.join();
        if (m_slave >= 0)
            ::close(m_slave);
        g_object_unref(m_handler);
        g_object_unref(m_bed);
        g_main_context_unref(m_context);
    }

    bool ok() const { return m_ok; }

    std::vector<Bytes> written()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

    // Every ioctl and write fails from now on, as on a node whose device was pulled; a read
    // waiting on the node wakes up to a hung-up line.
    void pull()
    {
        m_pulled = true;
        // The testbed closes its descriptor itself later: put /dev/null in its place, which
        // closes the pty's master side now and leaves nothing for a second close to hit.
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (m_master >= 0 && null >= 0)
            ::dup2(null, m_master);
        if (null >= 0)
            ::close(null);
    }

    // The reply to each write: the write's bytes after the report id, or nothing.
    void echoWrites(bool echo) { m_echo = echo; }


    void queueReport(const Bytes& report)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reports.push_back(report);
        }
        const char mark = 'r';
        if (m_master >= 0 && !m_pulled)
            (void)::write(m_master, &mark, 1);
    }

private:
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        auto* device = static_cast<MockHidrawDevice*>(self);
        if (device->m_pulled) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const Bytes& descriptor = device->m_descriptor;
        if (request == HIDIOCGRDESCSIZE) {
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
            int size = int(descriptor.size());
            std::memcpy(data->data, &size, sizeof size);
        } else if (request == HIDIOCGRDESC) {
            UMockdevIoctlData* data
                = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
            auto* out = reinterpret_cast<hidraw_report_descriptor*>(data->data);
            out->size = uint32_t(descriptor.size());
            std::memcpy(out->value, descriptor.data(), descriptor.size());
        } else if (request == HIDIOCGRAWINFO) {
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), nullptr);
            auto* info = reinterpret_cast<hidraw_devinfo*>(data->data);
            info->bustype = 3; // BUS_USB
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        auto* device = static_cast<MockHidrawDevice*>(self);
        if (device->m_pulled) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        {
            std::lock_guard<std::mutex> lock(device->m_mutex);
            device->m_written.emplace_back(arg->data, arg->data + arg->data_len);
        }
        umockdev_ioctl_client_complete(client, arg->data_len, 0);
        if (device->m_onWritten)
            device->m_onWritten(Bytes(arg->data, arg->data + arg->data_len));
        if (device->m_echo && arg->data_len > 1)
            device->queueReport(Bytes(arg->data + 1, arg->data + arg->data_len));
        return TRUE;
    }

    static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        auto* device = static_cast<MockHidrawDevice*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Bytes report;
        {
            std::lock_guard<std::mutex> lock(device->m_mutex);
            if (!device->m_reports.empty()) {
                report = std::move(device->m_reports.front());
                device->m_reports.erase(device->m_reports.begin());
            }
        }
        if (device->m_pulled && report.empty()) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        if (report.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        char mark;
        (void)::read(device->m_slave, &mark, 1);
        const size_t n = std::min(report.size(), size_t(arg->data_len));
        std::memcpy(arg->data, report.data(), n);
        umockdev_ioctl_client_complete(client, glong(n), 0);
        return TRUE;
    }

    Bytes m_descriptor;
    std::function<void(const Bytes&)> m_onWritten;
    std::string m_nodePath;
    UMockdevTestbed* m_bed = nullptr;
    GMainContext* m_context = nullptr;
    UMockdevIoctlBase* m_handler = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_pulled { false };
    std::atomic<bool> m_echo { false };
    int m_master = -1; // the pty's master side, owned by the testbed
    int m_slave = -1;
    std::vector<Bytes> m_reports;
    bool m_ok = false;
    std::mutex m_mutex;
    std::vector<Bytes> m_written;
};


// Runs the program again under the preload when it is not under it yet; returns only when it is.
inline void runUnderMockPreload(char** argv)
{
    const char* loaded = std::getenv("LD_PRELOAD");
    if (loaded && std::strstr(loaded, "libumockdev-preload"))
        return;
    std::string preload = "libumockdev-preload.so.0";
    if (loaded && *loaded)
        preload += std::string(":") + loaded;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    // The sanitizers' runtime would otherwise refuse a library loaded ahead of it.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old)
        asan = std::string(old) + ":" + asan;
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "cannot run again under the preload: %s\n", std::strerror(errno));
    std::exit(1);
}

} // namespace mockhid
