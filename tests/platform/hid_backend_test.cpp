#include "linux/hid_report_descriptor.h"
#include "linux/hidapi_backend.h"
#include "linux/timed_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform::linux_backend;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

size_t lengthOf(const Bytes& descriptor, uint8_t id)
{
    return outputReportLength(descriptor.data(), descriptor.size(), id);
}

// A vendor-defined device with unnumbered 64-byte input and output reports.
const Bytes kAppDescriptor = {
    0x06,
    0x00,
    0xFF, // usage page (vendor)
    0x09,
    0x01, // usage
    0xA1,
    0x01, // collection (application)
    0x15,
    0x00, // logical minimum 0
    0x26,
    0xFF,
    0x00, // logical maximum 255
    0x75,
    0x08, // report size 8
    0x95,
    0x40, // report count 64
    0x09,
    0x01,
    0x81,
    0x02, // input
    0x09,
    0x01,
    0x91,
    0x02, // output
    0xC0,
};

// Numbered reports as a bootloader uses them: 1 and 2 out, 3 and 4 in, of 34 bytes each.
const Bytes kNumberedDescriptor = {
    0x06,
    0x00,
    0xFF,
    0x09,
    0x01,
    0xA1,
    0x01,
    0x75,
    0x08,
    0x95,
    0x22,
    0x85,
    0x01,
    0x09,
    0x01,
    0x91,
    0x02, // id 1 out
    0x85,
    0x02,
    0x09,
    0x01,
    0x91,
    0x02, // id 2 out
    0x85,
    0x03,
    0x09,
    0x01,
    0x81,
    0x02, // id 3 in
    0x85,
    0x04,
    0x09,
    0x01,
    0x81,
    0x02, // id 4 in
    0xC0,
};

TEST(HidReportDescriptor, OutputLengthPerReportId)
{
    EXPECT_EQ(lengthOf(kAppDescriptor, 0), 65u);
    EXPECT_EQ(lengthOf(kAppDescriptor, 1), 0u);

    EXPECT_EQ(lengthOf(kNumberedDescriptor, 1), 35u);
    EXPECT_EQ(lengthOf(kNumberedDescriptor, 2), 35u);
    EXPECT_EQ(lengthOf(kNumberedDescriptor, 3), 0u); // input only
    EXPECT_EQ(lengthOf(kNumberedDescriptor, 0), 0u); // numbered device has no report 0
    EXPECT_EQ(lengthOf({}, 0), 0u);

    // Several output items add up; odd bit counts round up to whole bytes.
    const Bytes bits = { 0x75, 0x01, 0x95, 0x03, 0x91, 0x02, 0x75, 0x05, 0x95, 0x01, 0x91, 0x03, 0x75, 0x08,
        0x95, 0x02, 0x91, 0x02, 0x75, 0x01, 0x95, 0x01, 0x91, 0x02 };
    EXPECT_EQ(lengthOf(bits, 0), 1u + 4u); // 3 + 5 + 16 + 1 bits = 25 bits = 4 bytes
}

TEST(HidReportDescriptor, ItemFormsPushPopAndLongItems)
{
    const Bytes descriptor = {
        0x77, 0x08, 0x00, 0x00, 0x00, // report size 8, four-byte form
        0x97, 0x10, 0x00, 0x00, 0x00, // report count 16, four-byte form
        0xFE, 0x02, 0x10, 0x91, 0x91, // a long item whose data looks like Output
        0x85, 0x05, 0xA4, // report id 5, push
        0x85, 0x06, 0x96, 0x00, 0x01, 0x91, 0x02, // id 6: 256 bytes
        0xB4, // pop: id 5, count 16 again
        0x91, 0x02, // id 5: 16 bytes
    };
    EXPECT_EQ(lengthOf(descriptor, 5), 17u);
    EXPECT_EQ(lengthOf(descriptor, 6), 257u);
}

TEST(HidReportDescriptor, MalformedDescriptorsGiveNoLength)
{
    EXPECT_EQ(lengthOf({ 0x75, 0x08, 0x96, 0x40 }, 0), 0u); // truncated item
    EXPECT_EQ(
        lengthOf({ 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xFE, 0x05, 0x00 }, 0), 0u); // truncated long item
    EXPECT_EQ(lengthOf({ 0x75, 0x08, 0x95, 0x40, 0xB4, 0x91, 0x02 }, 0), 0u); // pop without push
    EXPECT_EQ(lengthOf({ 0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02 }, 0), 0u); // report id 0
    // Counts that would overflow or exceed any report hidraw can carry.
    EXPECT_EQ(lengthOf({ 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02 }, 0), 0u);
    const uint8_t tail[] = { 0x75, 0x08, 0x95, 0x01, 0x91, 0x02 };
    Bytes deepPush(40 + sizeof tail, 0xA4);
    std::memcpy(deepPush.data() + 40, tail, sizeof tail);
    EXPECT_EQ(lengthOf(deepPush, 0), 0u);
}

TEST(HidReportDescriptor, ShortBuffersArePaddedWithZeros)
{
    const Bytes data = { 0x00, 0x01, 0x06, 0xC6, 0x60, 0x04 };
    Bytes padded = padOutputReport(data.data(), data.size(), lengthOf(kAppDescriptor, 0));
    ASSERT_EQ(padded.size(), 65u);
    EXPECT_EQ(Bytes(padded.begin(), padded.begin() + 6), data);
    EXPECT_EQ(std::count(padded.begin() + 6, padded.end(), 0), 59);
    // Long enough, longer, or of unknown report length: left as given.
    EXPECT_EQ(padOutputReport(data.data(), data.size(), 6), data);
    EXPECT_EQ(padOutputReport(data.data(), data.size(), 3), data);
    EXPECT_EQ(padOutputReport(data.data(), data.size(), 0), data);
}

TEST(HidErrorText, FormatsCallErrnoAndMessage)
{
    EXPECT_EQ(hidErrorText("write", ETIMEDOUT),
        std::wstring(L"write failed with error 110: ") + std::wstring(L"Connection timed out"));
    EXPECT_EQ(hidErrorText("open", ENOENT), L"open failed with error 2: No such file or directory");
}

TEST(HidapiService, AbsentDeviceAndMissingHandles)
{
    platform::HidService& hid = hidapiService();
    // No device carries this identity; the open error is kept for lastError(nullptr).
    EXPECT_EQ(hid.open(0xFFFE, 0xFFFD), nullptr);
    EXPECT_FALSE(hid.lastError(nullptr).empty());
    const uint8_t report[2] = { 0, 1 };
    EXPECT_EQ(hid_write_timeout(nullptr, report, 2, 10), -1);
    uint8_t buffer[64];
    EXPECT_EQ(hid.read(nullptr, buffer, sizeof buffer, 0), -1);
    hid.close(nullptr);
    hid.shutdown();
}

// A pipe stands in for the hidraw node: once full, write() blocks as a stalled device does.
class TimedWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    void TearDown() override
    {
        if (fds[0] >= 0)
            ::close(fds[0]);
    }
    // Fills the pipe without blocking, then makes the write end blocking again.
    void fill()
    {
        const int flags = ::fcntl(fds[1], F_GETFL);
        ::fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
        uint8_t block[512] = {};
        while (::write(fds[1], block, sizeof block) > 0) { }
        ::fcntl(fds[1], F_SETFL, flags);
    }
    size_t drain()
    {
        const int flags = ::fcntl(fds[0], F_GETFL);
        ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        size_t total = 0;
        uint8_t block[512];
        ssize_t n;
        while ((n = ::read(fds[0], block, sizeof block)) > 0)
            total += size_t(n);
        ::fcntl(fds[0], F_SETFL, flags);
        return total;
    }
    int fds[2] = { -1, -1 };
};

TEST_F(TimedWriterTest, WritesAndReportsTheCount)
{
    TimedWriter writer(fds[1]);
    const auto r = writer.write(Bytes(65, 0x11), 1000);
    EXPECT_EQ(r.count, 65);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(drain(), 65u);
    EXPECT_EQ(writer.write(Bytes(3, 0x22), -1).count, 3);
}

TEST_F(TimedWriterTest, StalledWriteTimesOutAndCountsAgainstTheNext)
{
    fill();
    TimedWriter writer(fds[1]);
    const auto start = std::chrono::steady_clock::now();
    auto r = writer.write(Bytes(1000, 0x33), 50);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.error, ETIMEDOUT);
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 2s);

    // The first write is still in the kernel: the next one cannot start within its limit.
    r = writer.write(Bytes(10, 0x44), 30);
    EXPECT_EQ(r.error, ETIMEDOUT);

    // Once the device takes reports again, writing goes on.
    drain();
    std::atomic<bool> stop { false };
    std::thread reader([&] {
        while (!stop) {
            drain();
            std::this_thread::sleep_for(2ms);
        }
    });
    r = writer.write(Bytes(10, 0x55), -1);
    EXPECT_EQ(r.count, 10);
    stop = true;
    reader.join();
}

TEST_F(TimedWriterTest, UnlimitedWriteWaitsForTheDevice)
{
    fill();
    TimedWriter writer(fds[1]);
    std::thread reader([&] {
        std::this_thread::sleep_for(80ms);
        while (drain() == 0)
            std::this_thread::sleep_for(1ms);
        drain();
    });
    const auto start = std::chrono::steady_clock::now();
    const auto r = writer.write(Bytes(100, 0x66), -1);
    EXPECT_EQ(r.count, 100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 70ms);
    reader.join();
}

TEST_F(TimedWriterTest, SystemFailureCarriesErrno)
{
    // The read end cannot be written.
    TimedWriter writer(::dup(fds[0]));
    const auto r = writer.write(Bytes(4, 0), 1000);
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.error, EBADF);
    ::close(fds[1]);
}

TEST_F(TimedWriterTest, DestroyingWithAStuckWriteReturnsAndTheDescriptorIsClosedLater)
{
    fill();
    const auto start = std::chrono::steady_clock::now();
    {
        TimedWriter writer(fds[1]);
        EXPECT_EQ(writer.write(Bytes(1000, 0x77), 20).error, ETIMEDOUT);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // Draining lets the stuck write finish; the thread then closes the write end: EOF.
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool eof = false;
    while (!eof && std::chrono::steady_clock::now() < deadline) {
        uint8_t block[512];
        const ssize_t n = ::read(fds[0], block, sizeof block);
        eof = n == 0;
        if (n < 0)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(eof);
}

} // namespace
