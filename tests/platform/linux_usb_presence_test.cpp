// Hardware ids from the sysfs attributes of a USB device.

#include "linux/udev_usb_devices.h"

#include <gtest/gtest.h>

using platform::linux_backend::hardwareIdFromAttributes;

TEST(LinuxUsbPresence, FormatsSysfsAttributes)
{
    // sysfs holds lower-case hexadecimal with a line end.
    EXPECT_EQ(hardwareIdFromAttributes("2b29\n", "0055\n", "0100\n"), "USB\\VID_2B29&PID_0055&REV_0100");
    EXPECT_EQ(hardwareIdFromAttributes("15a2", "73", "1"), "USB\\VID_15A2&PID_0073&REV_0001");
    EXPECT_EQ(hardwareIdFromAttributes("2B29", "0049", "ffff"), "USB\\VID_2B29&PID_0049&REV_FFFF");
}

TEST(LinuxUsbPresence, MissingRevisionCountsAsZero)
{
    EXPECT_EQ(hardwareIdFromAttributes("2b29", "000d", nullptr), "USB\\VID_2B29&PID_000D&REV_0000");
    EXPECT_EQ(hardwareIdFromAttributes("2b29", "000d", "garbage"), "USB\\VID_2B29&PID_000D&REV_0000");
}

TEST(LinuxUsbPresence, RejectsUnusableIds)
{
    EXPECT_FALSE(hardwareIdFromAttributes(nullptr, "0055", "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("2b29", nullptr, "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("", "0055", "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("\n", "0055", "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("12345", "0055", "0100")) << "more than 16 bits";
    EXPECT_FALSE(hardwareIdFromAttributes("2b29", "00g5", "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("2b 29", "0055", "0100"));
    EXPECT_FALSE(hardwareIdFromAttributes("-2b2", "0055", "0100"));
}
