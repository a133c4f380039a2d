// The project's hid_write_timeout over hidapi's Windows device record, run against a named pipe:
// the padding to the output report length, the completed write, the timed-out write that is
// cancelled, and the error text's form.

#include "windows/hid_write_timeout.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

std::wstring systemMessage(DWORD code)
{
    wchar_t text[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' '))
        --n;
    return std::wstring(text, n);
}

// A pipe whose client end is the "device": written through overlapped I/O as hid.c does.
struct PipePair {
    HANDLE server = INVALID_HANDLE_VALUE; // the reading peer
    HANDLE client = INVALID_HANDLE_VALUE; // handed to the device record

    explicit PipePair(DWORD bufferSize)
    {
        static int serial = 0;
        const std::wstring name = L"\\\\.\\pipe\\tarvel-hid-test-" + std::to_wstring(GetCurrentProcessId()) + L"-"
            + std::to_wstring(++serial);
        server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, bufferSize, 0, nullptr);
        client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~PipePair()
    {
        if (server != INVALID_HANDLE_VALUE)
            CloseHandle(server);
    }
    std::vector<unsigned char> read(size_t count)
    {
        std::vector<unsigned char> bytes(count);
        DWORD got = 0, total = 0;
        while (total < count && ReadFile(server, bytes.data() + total, DWORD(count - total), &got, nullptr) && got > 0)
            total += got;
        bytes.resize(total);
        return bytes;
    }
};

} // namespace

TEST(HidWriteTimeout, ErrorTextIsOperationCodeAndSystemMessage)
{
    wchar_t text[640];
    const size_t n = tarvel_hid_error_text(text, 640, "WriteFile", ERROR_FILE_NOT_FOUND);
    const std::wstring expected = L"WriteFile failed with error 2: " + systemMessage(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::wstring(text, n), expected);
    EXPECT_GT(systemMessage(ERROR_FILE_NOT_FOUND).size(), 0u);
    // No line end of the system's message survives.
    EXPECT_EQ(std::wstring(text).find_first_of(L"\r\n"), std::wstring::npos);
    // A short buffer is cut, never overrun, and stays terminated.
    wchar_t small[8];
    EXPECT_EQ(tarvel_hid_error_text(small, 8, "WriteFile", 5), 7u);
    EXPECT_EQ(std::wstring(small), L"WriteFi");
}

TEST(HidWriteTimeout, ShortReportIsPaddedWithZerosToTheOutputLength)
{
    PipePair pipe(4096);
    ASSERT_NE(pipe.client, INVALID_HANDLE_VALUE);
    hid_device* device = tarvel_hid_device_over_handle(pipe.client, 33);
    ASSERT_NE(device, nullptr);
    const unsigned char report[] = { 0x01, 0xAA, 0x55 };
    EXPECT_EQ(hid_write_timeout(device, report, sizeof report, 1000), 33);
    const std::vector<unsigned char> got = pipe.read(33);
    ASSERT_EQ(got.size(), 33u);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(got[1], 0xAA);
    EXPECT_EQ(got[2], 0x55);
    for (size_t i = 3; i < got.size(); ++i)
        EXPECT_EQ(got[i], 0) << "byte " << i;
    // A full-length report goes as it is, with no limit on the wait.
    std::vector<unsigned char> full(33, 0x7E);
    EXPECT_EQ(hid_write_timeout(device, full.data(), full.size(), -1), 33);
    EXPECT_EQ(pipe.read(33), full);
    hid_close(device);
}

TEST(HidWriteTimeout, WriteNobodyTakesTimesOutIsCancelledAndSaysSo)
{
    // A pipe buffer far smaller than the report and a peer that never reads: the write pends.
    PipePair pipe(16);
    ASSERT_NE(pipe.client, INVALID_HANDLE_VALUE);
    hid_device* device = tarvel_hid_device_over_handle(pipe.client, 64);
    ASSERT_NE(device, nullptr);
    std::vector<unsigned char> big(256 * 1024, 0x42);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid_write_timeout(device, big.data(), big.size(), 200), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    const std::wstring error = hid_error(device);
    EXPECT_EQ(error, L"WaitForSingleObject failed with error 258: " + systemMessage(WAIT_TIMEOUT));
    // The buffer may go now: the cancelled write no longer holds it.
    big.assign(16, 0);
    hid_close(device);
}

TEST(HidWriteTimeout, BadArgumentsFailWithARecordedError)
{
    PipePair pipe(4096);
    hid_device* device = tarvel_hid_device_over_handle(pipe.client, 8);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(hid_write_timeout(device, nullptr, 4, 100), -1);
    EXPECT_EQ(std::wstring(hid_error(device)).rfind(L"hid_write_timeout failed with error 87: ", 0), 0u);
    const unsigned char one = 0;
    EXPECT_EQ(hid_write_timeout(device, &one, 0, 100), -1);
    EXPECT_EQ(hid_write_timeout(nullptr, &one, 1, 100), -1);
    hid_close(device);
}

TEST(HidWriteTimeout, WriteToAClosedPeerFailsWithTheSystemsError)
{
    PipePair pipe(4096);
    hid_device* device = tarvel_hid_device_over_handle(pipe.client, 8);
    ASSERT_NE(device, nullptr);
    CloseHandle(pipe.server);
    pipe.server = INVALID_HANDLE_VALUE;
    const unsigned char report[] = { 0x00, 0x01 };
    EXPECT_EQ(hid_write_timeout(device, report, sizeof report, 500), -1);
    const std::wstring error = hid_error(device);
    EXPECT_NE(error.find(L" failed with error "), std::wstring::npos) << std::string(error.begin(), error.end());
    hid_close(device);
}
