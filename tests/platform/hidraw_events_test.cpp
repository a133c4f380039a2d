// The udev monitor against uevents from a mocked /sys: a USB device and its hidraw node
// coming and going reach the scan, the other events of the same device do not.

#include "linux/linux_device_events.h"
#include "mock_hidraw.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace platform::linux_backend;
using platform::DeviceEvent;
using platform::DeviceEventKind;

namespace {

// Every event the monitor yields within the time, waiting on its descriptor as the event loop does.
std::vector<DeviceEvent> eventsWithin(UdevMonitorSource& source, int milliseconds)
{
    std::vector<DeviceEvent> events;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now())
                           .count());
        if (left <= 0)
            return events;
        pollfd wait { source.fd(), source.pollEvents(), 0 };
        if (::poll(&wait, 1, left) > 0)
            source.collect(events);
    }
}

class HidrawEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_bed = umockdev_testbed_new();
        ASSERT_NE(m_bed, nullptr);
    }
    void TearDown() override
    {
        if (m_bed)
            g_object_unref(m_bed);
    }

    std::string usbDevice(const char* name)
    {
        gchar* path = umockdev_testbed_add_device(m_bed, "usb", name, nullptr, "idVendor", "15a2",
            "idProduct", "0073", nullptr, "DEVTYPE", "usb_device", "PRODUCT", "15a2/73/1", nullptr);
        std::string out = path ? path : "";
        g_free(path);
        return out;
    }
    std::string child(const char* subsystem, const char* name, const std::string& parent,
        const char* key = nullptr, const char* value = nullptr)
    {
        gchar* path = umockdev_testbed_add_device(
            m_bed, subsystem, name, parent.c_str(), nullptr, key, value, nullptr);
        std::string out = path ? path : "";
        g_free(path);
        return out;
    }

    UMockdevTestbed* m_bed = nullptr;
};

TEST_F(HidrawEvents, TheHidrawNodeArrivingAfterItsDeviceIsAChangeOfNodes)
{
    UdevMonitorSource source;
    ASSERT_TRUE(source.ok());

    // Each device added to the mocked /sys announces itself with an "add" uevent.
    std::string usb = usbDevice("1-1");
    ASSERT_FALSE(usb.empty());
    std::vector<DeviceEvent> events = eventsWithin(source, 300);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, DeviceEventKind::NodesChanged);

    // The interface and the hid device in between change nothing the scan can open.
    std::string interface = child("usb", "1-1:1.0", usb, "DEVTYPE", "usb_interface");
    std::string hid = child("hid", "0003:15A2:0073.0001", interface, "HID_ID", "0003:000015A2:00000073");
    EXPECT_TRUE(eventsWithin(source, 200).empty());

    // The node itself, made last by the kernel: now there is something to open.
    std::string hidraw = child("hidraw", "hidraw0", hid, "DEVNAME", "/dev/hidraw0");
    events = eventsWithin(source, 300);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, DeviceEventKind::NodesChanged);

    // A change or bind of a node that stays does not make the scan open it again.
    umockdev_testbed_uevent(m_bed, hidraw.c_str(), "change");
    umockdev_testbed_uevent(m_bed, usb.c_str(), "bind");
    EXPECT_TRUE(eventsWithin(source, 200).empty());

    // Unplugged: the node and the device each say so.
    umockdev_testbed_uevent(m_bed, hidraw.c_str(), "remove");
    umockdev_testbed_uevent(m_bed, usb.c_str(), "remove");
    events = eventsWithin(source, 300);
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(HidrawEvents, AReplugUnderANewNodeNameIsSeenAgain)
{
    UdevMonitorSource source;
    ASSERT_TRUE(source.ok());
    std::string usb = usbDevice("1-2");
    std::string first = child("hidraw", "hidraw0", usb, "DEVNAME", "/dev/hidraw0");
    ASSERT_EQ(eventsWithin(source, 300).size(), 2u); // the device, then its node
    umockdev_testbed_uevent(m_bed, first.c_str(), "remove");
    umockdev_testbed_remove_device(m_bed, first.c_str());
    ASSERT_EQ(eventsWithin(source, 300).size(), 1u);
    std::string second = child("hidraw", "hidraw1", usb, "DEVNAME", "/dev/hidraw1");
    EXPECT_EQ(eventsWithin(source, 300).size(), 1u);
}

} // namespace

int main(int argc, char** argv)
{
    mockhid::runUnderMockPreload(argv); // libudev must see the mocked /sys from the first call on
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
