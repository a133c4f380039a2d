// The framework against the device simulator's bootloader face on a private virtual bus.
#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"
#include "recording_logger.h"
#include "loopback_bus.h"
#include "simulator.h"

#include "platform/clock.h"
#include "platform/virtual_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>

using namespace blfwk;
using blfwktest::RecordingLogger;
using U = std::vector<uint32_t>;

namespace {

constexpr uint32_t kAppStart = 0xA000;
constexpr uint32_t kLargestImage = 570480;

std::vector<uint8_t> testImage(size_t size)
{
    std::vector<uint8_t> image(size);
    uint32_t seed = 0x1234567;
    for (uint8_t& b : image) {
        seed = seed * 1664525 + 1013904223;
        b = uint8_t(seed >> 24);
    }
    return image;
}

class DevsimBootloader : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::setTimeScale(0.0);
        devsim::DeviceConfig config;
        config.model = 11;
        config.face = devsim::Face::FlashBootloader;
        m_sim = std::make_unique<devsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(testsupport::serveOnLoopback(*m_sim, &error)) << error;
        platform::selectVirtualBus(m_sim->socketPath());
    }
    void TearDown() override
    {
        platform::selectVirtualBus("");
        m_sim->stop();
    }

    PeripheralConfig config() const
    {
        PeripheralConfig c;
        c.peripheralKind = PeripheralConfig::PeripheralUsbHid;
        c.usbVendorId = 0x2B29;
        c.usbProductId = 11;
        c.packetTimeoutMs = 5000;
        c.pingOnOpen = false;
        c.baudRate = 0;
        return c;
    }

    // One short connection per command, as the flashing sequence runs them.
    std::unique_ptr<Command> inject(const string_vector_t& args)
    {
        std::unique_ptr<Command> cmd = Command::create(args);
        EXPECT_NE(cmd, nullptr);
        if (!cmd)
            return cmd;
        Bootloader connection(config());
        connection.inject(*cmd);
        connection.flush();
        return cmd;
    }
    void injectInto(Command& cmd)
    {
        Bootloader connection(config());
        connection.inject(cmd);
    }

    std::unique_ptr<devsim::Simulator> m_sim;
    RecordingLogger logger { Logger::Info };
};

TEST_F(DevsimBootloader, EraseWriteTheLargestImageAndReadItBack)
{
    auto erase
        = inject({ "flash-erase-region", "0xa000", std::to_string(((kLargestImage + 4095) / 4096) * 4096) });
    ASSERT_EQ(*erase->responseValues(), U { 0 }) << logger.all();

    const std::vector<uint8_t> image = testImage(kLargestImage);
    WriteMemory write(kAppStart, image);
    injectInto(write);
    ASSERT_EQ(*write.responseValues(), U { 0 }) << logger.all();
    EXPECT_EQ(write.responseText(), "Wrote 570480 of 570480 bytes.");

    const std::string path = ::testing::TempDir() + "blfwk_e2e_readback.bin";
    auto read = inject({ "read-memory", "0xa000", std::to_string(kLargestImage), path });
    EXPECT_EQ(*read->responseValues(), (U { 0, kLargestImage }));
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> back((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(back == image) << "read back " << back.size() << " bytes";
    std::remove(path.c_str());

    // Writing over programmed bytes is refused by the flash: the final status says so.
    auto again = inject({ "write-memory", "0xa000", "{{00112233}}" });
    ASSERT_EQ(again->responseValues()->size(), 1u);
    EXPECT_NE((*again->responseValues())[0], 0u);
}

TEST_F(DevsimBootloader, PropertiesReadAsText)
{
    for (const char* property :
        { "current-version", "available-peripherals", "flash-start-address", "flash-size-in-bytes",
            "flash-sector-size", "available-commands", "max-packet-size", "reserved-regions",
            "ram-start-address", "ram-size-in-bytes", "flash-security-state", "unique-device-id" }) {
        auto cmd = inject({ "get-property", property });
        ASSERT_FALSE(cmd->responseValues()->empty());
        EXPECT_EQ((*cmd->responseValues())[0], 0u) << property;
        EXPECT_FALSE(cmd->responseText().empty()) << property;
    }
    auto size = inject({ "get-property", "flash-size-in-bytes" });
    EXPECT_EQ(size->responseText(), "Flash Size = 1 MB");
    auto max = inject({ "get-property", "11" });
    EXPECT_EQ(max->responseText(), "Max Packet Size = 32 bytes");

    auto set = inject({ "set-property", "10", "1" });
    EXPECT_EQ(*set->responseValues(), U { 0 });
}

TEST_F(DevsimBootloader, CommandsTheFaceDoesNotKnowAndInjectedStatuses)
{
    auto unknown = inject({ "flash-read-once", "0", "4" });
    EXPECT_EQ(*unknown->responseValues(), U { 10000 });

    devsim::Fault fault;
    fault.kind = devsim::FaultKind::CommandStatus;
    fault.commandTag = 0x02;
    fault.status = 105;
    m_sim->device().injectFault(fault);
    auto erase = inject({ "flash-erase-region", "0xa000", "0x1000" });
    EXPECT_EQ(*erase->responseValues(), U { 105 });
}

TEST_F(DevsimBootloader, TheDeviceAbortsAWrite)
{
    auto erase = inject({ "flash-erase-region", "0xa000", "0x10000" });
    ASSERT_EQ(*erase->responseValues(), U { 0 });

    devsim::Fault abort;
    abort.kind = devsim::FaultKind::AbortDataPhase;
    abort.afterBytes = 1024;
    m_sim->device().injectFault(abort);
    WriteMemory aborted(kAppStart, testImage(4096));
    injectInto(aborted);
    ASSERT_FALSE(aborted.responseValues()->empty());
    EXPECT_NE((*aborted.responseValues())[0], 0u) << logger.all();
}

TEST_F(DevsimBootloader, TheDeviceLeavesInTheMiddleOfAWrite)
{
    auto erase = inject({ "flash-erase-region", "0xa000", "0x10000" });
    ASSERT_EQ(*erase->responseValues(), U { 0 });
    devsim::Fault gone;
    gone.kind = devsim::FaultKind::DisconnectInDataPhase;
    gone.afterBytes = 2048;
    gone.comesBack = false;
    m_sim->device().injectFault(gone);
    WriteMemory lost(kAppStart + 0x8000, testImage(8192));
    const auto start = platform::now();
    injectInto(lost);
    EXPECT_LT(platform::now() - start, std::chrono::seconds(20));
    ASSERT_FALSE(lost.responseValues()->empty());
    EXPECT_NE((*lost.responseValues())[0], 0u);
    EXPECT_NE(lost.responseText(), "Wrote 8192 of 8192 bytes.");

    // Nothing left to connect to.
    EXPECT_THROW(Bootloader connection(config()), std::runtime_error);
}

TEST_F(DevsimBootloader, ResetLeavesTheBootloader)
{
    auto reset = inject({ "reset" });
    EXPECT_EQ(*reset->responseValues(), U { 0 });
}

} // namespace
