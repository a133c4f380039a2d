// The updater's unattended console run through the real Linux backends: the scan lists the USB
// device through udev, opens its hidraw node through hidapi and talks to the simulator behind
// it, and watches the real mount table, on which the device's drive never appears.

#include "fault_run.h"
#include "mock_hidraw.h"

#include "device.h"
#include "fake_volumes.h"
#include "platform/clock.h"
#include "platform/local_folders.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The simulator's device plugged in as a USB device of the mocked /sys: what the updater writes
// to the hidraw node reaches the device, and each report the device sends becomes one report
// to read from the node. The node appears nodeDelay after its USB device.
class PluggedDevice {
public:
    PluggedDevice(devsim::Device& device, UMockdevTestbed* bed, uint16_t vid, uint16_t pid,
        std::chrono::milliseconds nodeDelay)
        : m_device(device)
    {
        m_handle = device.openHandle(vid, pid);
        m_node = std::make_unique<mockhid::MockHidrawDevice>(
            vid, pid, mockhid::kAppDescriptor,
            [this](const mockhid::Bytes& report) {
                int written = 0;
                std::string error;
                m_device.write(m_handle, report, written, error);
            },
            nodeDelay, bed);
        m_pump = std::thread([this] {
            while (!m_stop) {
                mockhid::Bytes report;
                std::string error;
                if (m_device.read(m_handle, 64, 50, report, error, [this] { return m_stop.load(); })
                    && !report.empty())
                    m_node->queueReport(report);
            }
        });
    }
    ~PluggedDevice()
    {
        m_stop = true;
        m_pump.join();
        m_node.reset();
        m_device.closeHandle(m_handle);
    }
    bool ok() const { return m_handle >= 0 && m_node->ok(); }

private:
    devsim::Device& m_device;
    int m_handle = -1;
    std::unique_ptr<mockhid::MockHidrawDevice> m_node;
    std::atomic<bool> m_stop { false };
    std::thread m_pump;
};

class RealBackends : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::unsetenv("TARVEL_VBUS");
        platform::setTimeScale(0.0);
        platform::setDataHome(home.sub("data"));
        platform::setStateHome(home.sub("state"));
        platform::setEnvironment("XDG_RUNTIME_DIR", home.path());
        // The mocked /sys exists before the updater starts, empty, as a machine without the
        // device: its monitors and scans see it from the first call on.
        bed = umockdev_testbed_new();
    }
    void TearDown() override
    {
        if (bed)
            g_object_unref(bed);
    }
    testsupport::TempFolder home;
    UMockdevTestbed* bed = nullptr;
};

size_t count(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

TEST_F(RealBackends, ADevicePluggedInWhoseDriveIsNeverMountedIsStillRead)
{
    devsim::DeviceConfig config;
    config.model = 11;
    config.driveDir = home.sub("drive");
    devsim::Device device(config);
    std::string error;
    ASSERT_TRUE(device.init(error)) << error;
    ASSERT_TRUE(device.waitIdle(20000));

    // Plugged in a second after the updater started, its hidraw node a moment after the USB
    // device, and its drive never mounted: only the node's own arrival can bring the read.
    std::unique_ptr<PluggedDevice> plugged;
    std::atomic<bool> pluggedOk { false };
    std::thread plugger([&] {
        std::this_thread::sleep_for(1s);
        plugged = std::make_unique<PluggedDevice>(device, bed, 0x2B29, 0x55, 300ms);
        pluggedOk = plugged->ok();
    });
    FaultRunResult run = runUpdaterOnce(FaultRunHooks {}, 5s);
    plugger.join();
    ASSERT_TRUE(pluggedOk);
    EXPECT_TRUE(run.workersEnded);

    // Before the plug the scan finds nothing; after it, the device's identity and firmware
    // version come back through hidraw.
    const size_t plugAt = run.log.find("DBT_DEVNODES_CHANGED");
    ASSERT_NE(plugAt, std::string::npos) << run.log;
    const std::string afterPlug = run.log.substr(plugAt);
    EXPECT_NE(afterPlug.find("DEVICE_ID RAW [11] NORM[11]"), std::string::npos) << run.log;
    EXPECT_NE(afterPlug.find("D[7.63]"), std::string::npos) << run.log;
    EXPECT_EQ(count(run.log.substr(0, plugAt), "DEVICE_ID RAW"), 0u) << run.log;
    plugged.reset();
    device.shutdown();
}

} // namespace

int main(int argc, char** argv)
{
    mockhid::runUnderMockPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
