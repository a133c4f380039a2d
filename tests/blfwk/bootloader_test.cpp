#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/memory_commands.h"
#include "fake_bootloader.h"
#include "recording_logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

using namespace blfwk;
using blfwktest::FakeBootloader;
using blfwktest::RecordingLogger;
using testsupport::ScriptedHid;

namespace {

PeripheralConfig usbConfig()
{
    PeripheralConfig config;
    config.peripheralKind = PeripheralConfig::PeripheralUsbHid;
    config.usbVendorId = 0x2b29;
    config.usbProductId = 0x0b;
    config.packetTimeoutMs = 5000;
    config.pingOnOpen = false;
    config.baudRate = 0;
    return config;
}

int g_outputCalls = 0;
void countOutput(const char*)
{
    ++g_outputCalls;
}

TEST(BootloaderLogger, FirstConnectionInstallsAFileLoggerAtTraceAndLaterOnesReuseIt)
{
    Logger* previous = Log::getLogger();
    Log::setLogger(nullptr);
    ScriptedHid hid;
    FileLogger* installed = nullptr;
    {
        Bootloader first(usbConfig());
        installed = first.getLogger();
        ASSERT_NE(installed, nullptr);
        EXPECT_EQ(Log::getLogger(), installed);
        EXPECT_EQ(installed->getFilterLevel(), Logger::Trace);
        EXPECT_EQ(installed->fileName(), "bootloader.log");
    }
    EXPECT_EQ(Log::getLogger(), installed); // outlives its connection
    {
        Bootloader second(usbConfig());
        EXPECT_EQ(second.getLogger(), nullptr);
        EXPECT_EQ(Log::getLogger(), installed);
    }
    // Even a connection that fails to open installs it when none is there.
    Log::setLogger(nullptr);
    hid.openSucceeds = false;
    EXPECT_THROW(Bootloader failed(usbConfig()), std::runtime_error);
    Logger* fromFailed = Log::getLogger();
    EXPECT_NE(fromFailed, nullptr);
    Log::setLogger(previous);
    delete installed;
    delete fromFailed;
}

TEST(BootloaderLogger, AnInstalledLoggerIsKept)
{
    ScriptedHid hid;
    RecordingLogger mine(Logger::Info);
    Bootloader connection(usbConfig());
    EXPECT_EQ(connection.getLogger(), nullptr);
    EXPECT_EQ(Log::getLogger(), &mine);
    EXPECT_EQ(mine.getFilterLevel(), Logger::Info);
}

TEST(Bootloader, RefusesUnsupportedKindsAndMissingDevices)
{
    ScriptedHid hid;
    RecordingLogger logger;
    PeripheralConfig config = usbConfig();
    for (int kind : { 0, 4, -1 }) {
        config.peripheralKind = kind;
        try {
            Bootloader connection(config);
            FAIL() << kind;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(
                std::string(e.what()), "Error: Unsupported peripheral type(" + std::to_string(kind) + ").");
        }
    }
    EXPECT_EQ(hid.opens, 0);

    hid.openSucceeds = false;
    try {
        Bootloader connection(usbConfig());
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(
            e.what(), "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x2b29, pid=0x000b).");
    }
}

TEST(Bootloader, InjectRunsTheCommandAndTimesIt)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    RecordingLogger logger(Logger::Debug);
    {
        Bootloader connection(usbConfig());
        EXPECT_EQ(hid.openedProduct, 0x0b);
        auto cmd = Command::create({ "flash-erase-region", "0xa000", "0x1000" });
        connection.inject(*cmd);
        EXPECT_EQ(*cmd->responseValues(), std::vector<uint32_t> { 0 });
        const std::string& took = logger.lines.back();
        double seconds = -1;
        char end = 0;
        EXPECT_EQ(std::sscanf(took.c_str(), "  - took %lf seconds%c", &seconds, &end), 2) << took;
        EXPECT_EQ(end, '\n');
        EXPECT_GE(seconds, 0.0);
        EXPECT_NE(took.find('.'), std::string::npos); // three decimals, as "%2.3f" gives them
        EXPECT_EQ(took.size() - took.find('.'), std::string(".000 seconds\n").size());

        // A transfer that fails is no exception: the status is in the command.
        target.silent = true;
        auto reset = Command::create({ "flash-erase-all" });
        connection.inject(*reset);
        EXPECT_EQ(*reset->responseValues(), std::vector<uint32_t> { 10004 });

        // Pinging a USB-HID connection sends nothing.
        const size_t writes = hid.writes.size();
        connection.ping(3, 0, 0);
        connection.flush();
        EXPECT_EQ(hid.writes.size(), writes);
    }
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(hid.shutdowns, 1);
}

TEST(Bootloader, ConvenienceOperationsThrowTheStatusText)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    RecordingLogger logger(Logger::Info);
    Bootloader connection(usbConfig());

    connection.reset();
    EXPECT_TRUE(logger.contains("Inject command 'reset'\n"));
    connection.execute(0xa001, 2, 0x20008000);
    EXPECT_EQ(target.commands.back().params, (std::vector<uint32_t> { 0xa001, 2, 0x20008000 }));

    target.properties[1] = { 0x4B020600 };
    target.properties[17] = { 1 };
    EXPECT_EQ(connection.getCurrentVersion(), 0x4B020600u);
    EXPECT_TRUE(logger.contains("inject command 'get-property'\n"));
    EXPECT_EQ(target.commands.back().params, (std::vector<uint32_t> { 1, 0 }));
    EXPECT_EQ(connection.getSecurityState(), 1u);
    EXPECT_EQ(target.commands.back().params, (std::vector<uint32_t> { 17, 0 }));

    target.statusFor[0x0B] = 10001;
    try {
        connection.reset();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Command disallowed when security is enabled.");
    }
    target.statusFor[0x07] = 10300;
    EXPECT_THROW(connection.getCurrentVersion(), std::runtime_error);
    target.statusFor.clear();
    target.properties[1] = {};
    EXPECT_THROW(connection.getCurrentVersion(), std::out_of_range);
}

TEST(Bootloader, EveryReportCostsSeventyThreeLogCallsAtTrace)
{
    Logger* previous = Log::getLogger();
    Log::setLogger(nullptr);
    ScriptedHid hid;
    FakeBootloader target(hid);
    FileLogger::setOutputFunction(countOutput);
    FileLogger* installed = nullptr;
    {
        Bootloader connection(usbConfig());
        installed = connection.getLogger();
        g_outputCalls = 0;
        auto cmd = Command::create({ "flash-erase-region", "0xa000", "0x1000" });
        connection.inject(*cmd);
        // One report out, one in, the success line and the timing line.
        EXPECT_EQ(g_outputCalls, 73 + 73 + 1 + 1);

        g_outputCalls = 0;
        auto write = Command::create({ "write-memory", "0xa000", "{{" + std::string(128, '5') + "}}" });
        connection.inject(*write);
        // Command and response, two data reports, the final response; two success lines, timing.
        EXPECT_EQ(g_outputCalls, 5 * 73 + 2 + 1);
        EXPECT_EQ(*write->responseValues(), std::vector<uint32_t> { 0 });
    }
    FileLogger::setOutputFunction(nullptr);
    Log::setLogger(previous);
    delete installed;
}

TEST(Bootloader, DeviceVanishingMidTransfer)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    RecordingLogger logger(Logger::Info);
    Bootloader connection(usbConfig());

    std::vector<uint8_t> image(10000, 0x42);
    WriteMemory write(0xa000, image);
    int dataReports = 0;
    hid.onWrite = [&](const testsupport::Bytes& w) {
        if (w[0] == 1)
            hid.queueReport(blfwktest::genericResponse(0, 0x04));
        else if (++dataReports == 100) {
            hid.writeResult = -1; // gone: every write and read fails from here on
            hid.errorText = L"WriteFile failed with error 1167: The device is not connected.";
            for (int i = 0; i < 5; ++i)
                hid.queueFailure();
        }
    };
    connection.inject(write);
    EXPECT_EQ(*write.responseValues(), std::vector<uint32_t> { 10004 });
    EXPECT_EQ(write.responseText(), "Wrote 3168 of 10000 bytes.");
    EXPECT_TRUE(logger.contains("WriteFile failed with error 1167: The device is not connected."));
    EXPECT_TRUE(logger.contains("Data phase write aborted by status 0x1 Failure.\n"));
    EXPECT_EQ(dataReports, 100);
}

} // namespace
