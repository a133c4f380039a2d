// --simulate's private bus: on a Unix socket in its private folder, or on a loopback TCP port
// with a random token (what a platform without Unix-domain sockets uses), reached through the
// process's selected bus either way, and gone with its folder after the run.

#include "simulated_device.h"

#include "fake_volumes.h"

#include "platform/process.h"
#include "platform/usb_devices.h"
#include "platform/vbus/wire.h"
#include "platform/virtual_bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

class SimulatedBusTest : public ::testing::Test {
protected:
    // The temporary folder's variables: TMPDIR on POSIX systems, TMP and TEMP on Windows.
    static constexpr const char* kVariables[] = { "TMPDIR", "TMP", "TEMP" };

    void SetUp() override
    {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            m_saved.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
            platform::setEnvironment(name, m_home.path());
        }
    }
    void TearDown() override
    {
        stopSimulatedDevice(m_device);
        platform::selectVirtualBus("");
        for (size_t i = 0; i < m_saved.size(); ++i) {
            if (m_saved[i])
                platform::setEnvironment(kVariables[i], *m_saved[i]);
            else
                platform::unsetEnvironment(kVariables[i]);
        }
    }
    testsupport::TempFolder m_home;
    std::vector<std::optional<std::string>> m_saved;
    SimulatedDevice m_device;
};

} // namespace

TEST_F(SimulatedBusTest, TheDefaultIsAUnixSocketInThePrivateFolderWhereThePlatformHasThem)
{
    EXPECT_EQ(defaultSimulatedBus(),
        platform::vbus::unixSocketsAvailable() ? SimulatedBus::UnixSocket : SimulatedBus::Tcp);
    if (!platform::vbus::unixSocketsAvailable())
        GTEST_SKIP() << "no Unix-domain sockets here";
    std::string error;
    ASSERT_TRUE(startSimulatedDevice({}, m_device, error, SimulatedBus::UnixSocket)) << error;
    EXPECT_EQ(platform::virtualBusPath(), m_device.folder + "/bus.sock");
    std::vector<std::string> ids;
    ASSERT_TRUE(platform::usbDeviceService().presentHardwareIds(ids));
    EXPECT_EQ(ids, std::vector<std::string> { "USB\\VID_2B29&PID_0055&REV_0100" });
}

TEST_F(SimulatedBusTest, OnTcpItHasARandomTokenThatNoOtherProgramKnows)
{
    std::string error;
    ASSERT_TRUE(startSimulatedDevice({}, m_device, error, SimulatedBus::Tcp)) << error;
    const std::string address = platform::virtualBusPath();
    platform::vbus::BusAddress parsed;
    ASSERT_TRUE(platform::vbus::parseBusAddress(address, parsed, error)) << address;
    EXPECT_EQ(parsed.kind, platform::vbus::BusAddress::Kind::Tcp);
    EXPECT_EQ(parsed.host, "127.0.0.1");
    EXPECT_NE(parsed.port, 0);
    EXPECT_EQ(parsed.token.size(), 32u);
    EXPECT_FALSE(fs::exists(m_device.folder + "/bus.sock"));

    // The process's services reach it; a connection without the token does not.
    std::vector<std::string> ids;
    ASSERT_TRUE(platform::usbDeviceService().presentHardwareIds(ids));
    EXPECT_EQ(ids.size(), 1u);
    platform::vbus::BusClient stranger;
    EXPECT_FALSE(stranger.open(platform::vbus::describeBusAddress(parsed), "stranger"));
    EXPECT_NE(stranger.error().find("token required"), std::string::npos) << stranger.error();

    // A second simulated run gets another token.
    const std::string first = parsed.token;
    stopSimulatedDevice(m_device);
    ASSERT_TRUE(startSimulatedDevice({}, m_device, error, SimulatedBus::Tcp)) << error;
    ASSERT_TRUE(platform::vbus::parseBusAddress(platform::virtualBusPath(), parsed, error));
    EXPECT_NE(parsed.token, first);
}
