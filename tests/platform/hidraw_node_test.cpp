// The HID backend (hidapi on hidraw and the project's timed writer) against a hidraw node of a
// mocked /sys whose ioctls and writes this test serves: the device is found by its USB
// identity, its report descriptor comes through the hidraw ioctls, short output reports are
// extended to the length the descriptor gives, and a node that goes away fails the calls.

#include "linux/hidapi_backend.h"
#include "mock_hidraw.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using namespace platform::linux_backend;
using namespace mockhid;

namespace {

TEST(HidrawNode, TheApplicationFaceTakesFullUnnumberedReports)
{
    MockHidrawDevice device(0x2B29, 0x55, kAppDescriptor);
    ASSERT_TRUE(device.ok());
    platform::HidService& hid = hidapiService();
    EXPECT_EQ(hid.open(0x2B29, 0x56), nullptr); // another product: not this device
    EXPECT_FALSE(hid.lastError(nullptr).empty());
    platform::HidDevice* handle = hid.open(0x2B29, 0x55);
    ASSERT_NE(handle, nullptr) << std::string(hid.lastError(nullptr).begin(), hid.lastError(nullptr).end());

    const Bytes command = { 0x00, 0xA5, 0x01, 0x02 };
    EXPECT_EQ(hid_write_timeout(handle, command.data(), command.size(), 1000), 65);
    const Bytes full(65, 0x00);
    Bytes expected = full;
    std::copy(command.begin(), command.end(), expected.begin());
    std::vector<Bytes> written = device.written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], expected);
    hid.close(handle);
}

TEST(HidrawNode, TheBootloaderFacesReportsArePaddedPerReportId)
{
    MockHidrawDevice device(0x15A2, 0x73, kBootDescriptor);
    ASSERT_TRUE(device.ok());
    platform::HidService& hid = hidapiService();
    platform::HidDevice* handle = hid.open(0x15A2, 0x73);
    ASSERT_NE(handle, nullptr);

    const Bytes command = { 0x01, 0x08, 0x00, 0x5A, 0xA7 };
    EXPECT_EQ(hid_write_timeout(handle, command.data(), command.size(), 1000), 35);
    const Bytes data = { 0x02, 0x10, 0x00 };
    EXPECT_EQ(hid_write_timeout(handle, data.data(), data.size(), 1000), 35);
    // An id the descriptor has no output report for goes as it was given, never cut short.
    const Bytes unknown = { 0x07, 0x01, 0x02 };
    EXPECT_EQ(hid_write_timeout(handle, unknown.data(), unknown.size(), 1000), 3);

    std::vector<Bytes> written = device.written();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].size(), 35u);
    EXPECT_TRUE(std::equal(command.begin(), command.end(), written[0].begin()));
    EXPECT_EQ(std::count(written[0].begin() + 5, written[0].end(), 0), 30);
    EXPECT_EQ(written[1][0], 0x02);
    EXPECT_EQ(written[1].size(), 35u);
    EXPECT_EQ(written[2], unknown);
    hid.close(handle);
}

TEST(HidrawNode, APulledNodeFailsTheWriteWithTheSystemsReason)
{
    MockHidrawDevice device(0x2B29, 0x55, kAppDescriptor);
    ASSERT_TRUE(device.ok());
    platform::HidService& hid = hidapiService();
    platform::HidDevice* handle = hid.open(0x2B29, 0x55);
    ASSERT_NE(handle, nullptr);
    device.pull();
    const Bytes command = { 0x00, 0xA5 };
    EXPECT_EQ(hid_write_timeout(handle, command.data(), command.size(), 1000), -1);
    std::wstring error = hid.lastError(handle);
    EXPECT_NE(error.find(L"write failed with error " + std::to_wstring(ENODEV)), std::wstring::npos);
    EXPECT_TRUE(device.written().empty());
    hid.close(handle);
}

TEST(HidrawNode, EachReplyIsOneReportAndAnEmptyReadWaitsItsTime)
{
    MockHidrawDevice device(0x2B29, 0x55, kAppDescriptor);
    ASSERT_TRUE(device.ok());
    device.echoWrites(true);
    platform::HidService& hid = hidapiService();
    platform::HidDevice* handle = hid.open(0x2B29, 0x55);
    ASSERT_NE(handle, nullptr);

    for (uint8_t round = 0; round < 50; ++round) {
        const Bytes command = { 0x00, round, uint8_t(~round) };
        ASSERT_EQ(hid_write_timeout(handle, command.data(), command.size(), 1000), 65);
        uint8_t reply[128] = {};
        ASSERT_EQ(hid.read(handle, reply, sizeof reply, 1000), 64) << int(round);
        EXPECT_EQ(reply[0], round);
        EXPECT_EQ(reply[1], uint8_t(~round));
    }
    // Two reports queued at once come back as two reads, in order, none merged.
    device.queueReport(Bytes(64, 0x11));
    device.queueReport(Bytes(64, 0x22));
    uint8_t first[64], second[64];
    EXPECT_EQ(hid.read(handle, first, sizeof first, 1000), 64);
    EXPECT_EQ(hid.read(handle, second, sizeof second, 1000), 64);
    EXPECT_EQ(first[0], 0x11);
    EXPECT_EQ(second[63], 0x22);

    auto start = std::chrono::steady_clock::now();
    uint8_t none[64];
    EXPECT_EQ(hid.read(handle, none, sizeof none, 200), 0);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), 180);
    EXPECT_LT(waited.count(), 1000);
    hid.close(handle);
}

TEST(HidrawNode, ANodePulledDuringAReadEndsTheRead)
{
    MockHidrawDevice device(0x2B29, 0x55, kAppDescriptor);
    ASSERT_TRUE(device.ok());
    platform::HidService& hid = hidapiService();
    platform::HidDevice* handle = hid.open(0x2B29, 0x55);
    ASSERT_NE(handle, nullptr);
    std::atomic<int> result { 1 };
    std::thread reader([&] {
        uint8_t buffer[64];
        result = hid.read(handle, buffer, sizeof buffer, 5000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = std::chrono::steady_clock::now();
    device.pull();
    reader.join();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(result.load(), -1);
    EXPECT_LT(took.count(), 2000); // woken by the hang-up, not by its own time limit
    EXPECT_FALSE(hid.lastError(handle).empty());
    hid.close(handle);
}

TEST(HidrawNode, ADescriptorTheNodeWillNotGiveLeavesReportsAsWritten)
{
    // A node that answers the size ioctl with nothing usable: no padding can be known, and
    // the report goes out with the bytes the caller gave.
    MockHidrawDevice device(0x2B29, 0x55, Bytes {});
    ASSERT_TRUE(device.ok());
    platform::HidService& hid = hidapiService();
    platform::HidDevice* handle = hid.open(0x2B29, 0x55);
    ASSERT_NE(handle, nullptr);
    const Bytes command = { 0x00, 0xA5, 0x01 };
    EXPECT_EQ(hid_write_timeout(handle, command.data(), command.size(), 1000), 3);
    ASSERT_EQ(device.written().size(), 1u);
    EXPECT_EQ(device.written()[0], command);
    hid.close(handle);
}

} // namespace

int main(int argc, char** argv)
{
    mockhid::runUnderMockPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
