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
    // What the USB device says of itself, and where it sits. Each enumeration of a device gets
    // a node of its own (hidraw0, hidraw1, ...), as the kernel hands them out.
    struct Identity {
        uint16_t vendor = 0;
        uint16_t product = 0;
        std::string manufacturer = "Tarvel";
        std::string productName = "Peak Pro";
        std::string serial = "T0001";
        std::string port = "1-1"; // the USB device's name in /sys
        int node = 0; // hidrawN
        int hidNumber = 1; // the hid device's instance suffix (.0001)
    };

    // onWritten: called with each report written, on the serving thread. nodeDelay: how long
    // after its USB device the hidraw node appears (the kernel makes it last). bed: a testbed
    // made earlier, so that monitors opened before the plug already listen to it (kept by the
    // caller); none: one of the device's own.
    MockHidrawDevice(uint16_t vendor, uint16_t product, Bytes descriptor,
        std::function<void(const Bytes&)> onWritten = {},
        std::chrono::milliseconds nodeDelay = std::chrono::milliseconds(0), UMockdevTestbed* bed = nullptr)
        : MockHidrawDevice(Identity { vendor, product }, std::move(descriptor), std::move(onWritten), nodeDelay, bed)
    {
    }

    MockHidrawDevice(Identity identity, Bytes descriptor, std::function<void(const Bytes&)> onWritten,
        std::chrono::milliseconds nodeDelay, UMockdevTestbed* bed)
        : m_descriptor(std::move(descriptor))
        , m_onWritten(std::move(onWritten))
    {
        m_bed = bed ? UMOCKDEV_TESTBED(g_object_ref(bed)) : umockdev_testbed_new();
        char vid[8], pid[8], hidId[40], hidName[32];
        std::snprintf(vid, sizeof vid, "%04x", identity.vendor);
        std::snprintf(pid, sizeof pid, "%04x", identity.product);
        std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", identity.vendor, identity.product);
        std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", identity.vendor, identity.product,
            unsigned(identity.hidNumber));
        const std::string nodeName = "hidraw" + std::to_string(identity.node);
        const std::string devNode = "/dev/" + nodeName;
        const std::string hidNameText = identity.manufacturer + " " + identity.productName;
        // With no delay asked, the whole device is put in place without a word and announced
        // once its node is served: a scan woken by the USB device's arrival must not open a
        // node whose handler is not attached yet (it would talk to a bare pty for good).
        const bool quiet = nodeDelay.count() == 0;
        gchar* usb = nullptr;
        gchar* interface = nullptr;
        gchar* hid = nullptr;
        if (quiet) {
            std::string hex;
            char byte[3];
            for (uint8_t b : m_descriptor) {
                std::snprintf(byte, sizeof byte, "%02x", b);
                hex += byte;
            }
            const std::string usbAt = "/devices/" + identity.port;
            const std::string interfaceAt = usbAt + "/" + identity.port + ":1.0";
            const std::string hidAt = interfaceAt + "/" + hidName;
            const std::string devices = "P: " + usbAt + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vid
                + "\nA: idProduct=" + pid + "\nA: bcdDevice=0100\nA: manufacturer=" + identity.manufacturer
                + "\nA: product=" + identity.productName + "\nA: serial=" + identity.serial + "\n\nP: " + interfaceAt
                + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\nA: bInterfaceClass=03\n\nP: "
                + hidAt + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\nE: HID_NAME=" + hidNameText
                + "\nE: HID_UNIQ=" + identity.serial + "\nH: report_descriptor=" + hex + "\n";
            GError* error = nullptr;
            m_ok = umockdev_testbed_add_from_string(m_bed, devices.c_str(), &error);
            if (error)
                g_error_free(error);
            usb = g_strdup(("/sys" + usbAt).c_str());
            interface = g_strdup(("/sys" + interfaceAt).c_str());
            hid = g_strdup(("/sys" + hidAt).c_str());
        } else {
            usb = umockdev_testbed_add_device(m_bed, "usb", identity.port.c_str(), nullptr, "idVendor", vid,
                "idProduct", pid, "bcdDevice", "0100", "manufacturer", identity.manufacturer.c_str(), "product",
                identity.productName.c_str(), "serial", identity.serial.c_str(), nullptr, "DEVTYPE", "usb_device", nullptr);
            interface = umockdev_testbed_add_device(m_bed, "usb", (identity.port + ":1.0").c_str(), usb,
                "bInterfaceNumber", "00", "bInterfaceClass", "03", nullptr, "DEVTYPE", "usb_interface", nullptr);
            hid = umockdev_testbed_add_device(m_bed, "hid", hidName, interface, nullptr, "HID_ID",
                hidId, "HID_NAME", hidNameText.c_str(), "HID_UNIQ", identity.serial.c_str(), nullptr);
            umockdev_testbed_set_attribute_binary(
                m_bed, hid, "report_descriptor", m_descriptor.data(), gint(m_descriptor.size()));
            m_ok = true;
            std::this_thread::sleep_for(nodeDelay);
        }
        // A recorded node ("N:") gets a device file; the ioctl handler is attached to it.
        std::string node = std::string("P: ") + (hid + 4) + "/hidraw/" + nodeName + "\nN: " + nodeName + "\n"
            + "E: SUBSYSTEM=hidraw\nE: DEVNAME=" + devNode + "\nE: MAJOR=243\nE: MINOR="
            + std::to_string(identity.node) + "\nA: dev=243:" + std::to_string(identity.node) + "\n";
        GError* error = nullptr;
        m_ok = umockdev_testbed_add_from_string(m_bed, node.c_str(), &error) && m_ok;
        if (error)
            g_error_free(error);
        // hidapi finds the usage page through the node's link to its hid device.
        gchar* sys = umockdev_testbed_get_sys_dir(m_bed);
        std::string hidraw = std::string(sys) + "/.." + hid + "/hidraw/" + nodeName + "/device";
        std::string target = std::string(sys) + "/.." + hid;
        m_ok = m_ok && ::symlink(target.c_str(), hidraw.c_str()) == 0;
        g_free(sys);
        m_usbPath = usb;
        m_interfacePath = interface;
        m_hidPath = hid;
        m_quiet = quiet;
        g_free(usb);
        g_free(interface);
        g_free(hid);

        m_context = g_main_context_new();
        g_main_context_push_thread_default(m_context);
        m_handler = UMOCKDEV_IOCTL_BASE(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
        g_signal_connect(m_handler, "handle-write", G_CALLBACK(onWrite), this);
        g_signal_connect(m_handler, "handle-read", G_CALLBACK(onRead), this);
        m_ok = m_ok && umockdev_testbed_attach_ioctl(m_bed, devNode.c_str(), m_handler, nullptr);
        g_main_context_pop_thread_default(m_context);
        // Served from now on: an open of the node connects to the handler's socket, which only
        // a running loop accepts on.
        m_thread = std::thread([this] {
            g_main_context_push_thread_default(m_context);
            while (!m_stop)
                if (!g_main_context_iteration(m_context, FALSE))
                    std::this_thread::sleep_for(std::chrono::microseconds(m_unplugged ? 5000 : 500));
            g_main_context_pop_thread_default(m_context);
        });
        // Reads go to the handler, but poll() sees the node's pty itself: one byte on the pty
        // for each queued report makes it readable, and the handler takes the byte back.
        m_master = umockdev_testbed_get_dev_fd(m_bed, devNode.c_str());
        gchar* root = umockdev_testbed_get_root_dir(m_bed);
        char pty[64] = {};
        ssize_t n = ::readlink((std::string(root) + devNode).c_str(), pty, sizeof pty - 1);
        g_free(root);
        m_slave = n > 0 ? ::open(pty, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
        if (n > 0) {
            // The testbed maps each pty back to its node; once this node has gone, the pty's
            // number may be handed to the next node, whose mapping must then find no old one.
            std::string mapped = pty;
            std::replace(mapped.begin(), mapped.end(), '/', '_');
            gchar* rootDir = umockdev_testbed_get_root_dir(m_bed);
            m_ptyMap = std::string(rootDir) + "/dev/.ptymap/" + mapped;
            g_free(rootDir);
        }
        if (m_slave >= 0) {
            termios raw {};
            ::tcgetattr(m_slave, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(m_slave, TCSANOW, &raw);
        }
        m_ok = m_ok && m_master >= 0 && m_slave >= 0;
        // The node was announced before its handler was attached: announce it again, served.
        m_nodePath = m_hidPath + "/hidraw/" + nodeName;
        if (m_quiet)
            announce(m_usbPath, "add");
        announce(m_nodePath, "add");
    }

    // One uevent, and a moment for the listeners to take it: the mocking library delivers it on
    // a datagram socket whose queue holds ten, and ends the process when one is full. Only the
    // USB device's and the node's own are sent: they are all that the host listens to.
    void announce(const std::string& path, const char* action)
    {
        umockdev_testbed_uevent(m_bed, path.c_str(), action);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }

    // The USB device's path in the mocked /sys (/sys/devices/...).
    const std::string& usbPath() const { return m_usbPath; }

    // The device leaves the bus: its node fails from now on, and the kernel's removals arrive
    // child first, after which the USB device and everything below it is gone from /sys.
    void unplug()
    {
        if (m_unplugged)
            return;
        m_unplugged = true;
        // Reports that reached the node before the device left are still read, as the kernel
        // hands out what its buffer holds before it reports the device gone.
        // The wait lasts while the host keeps reading, and ends after a second without a read.
        size_t pending = pendingReports();
        auto lastRead = std::chrono::steady_clock::now();
        while (pending > 0 && std::chrono::steady_clock::now() - lastRead < std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const size_t now = pendingReports();
            if (now < pending)
                lastRead = std::chrono::steady_clock::now();
            pending = now;
        }
        pull();
        announce(m_nodePath, "remove");
        announce(m_usbPath, "remove");
        umockdev_testbed_remove_device(m_bed, m_usbPath.c_str());
    }

    ~MockHidrawDevice()
    {
        m_stop = true;
        m_thread.join();
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_unplugged && !m_ptyMap.empty())
            ::unlink(m_ptyMap.c_str());
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

    size_t pendingReports()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports.size();
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
    std::string m_usbPath, m_interfacePath, m_hidPath, m_ptyMap;
    std::atomic<bool> m_unplugged { false };
    bool m_quiet = false;
    UMockdevTestbed* m_bed = nullptr;
    GMainContext* m_context = nullptr;
    UMockdevIoctlBase* m_handler = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_pulled { false };
    std::atomic<bool> m_echo { false };
    std::atomic<int> m_master { -1 }; // the pty's master side, owned by the testbed
    std::atomic<int> m_slave { -1 };
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
