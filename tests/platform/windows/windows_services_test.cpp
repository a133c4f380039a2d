// The Windows backend's services under Wine: the device-change window, the named mutex, the
// local folders, SetupAPI presence, the logical drives and COM ports.

#include "platform/device_events.h"
#include "platform/files.h"
#include "platform/local_folders.h"
#include "platform/native.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "platform/single_instance.h"
#include "platform/usb_devices.h"
#include "platform/volumes.h"
#include "windows/windows_backends.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace platform;

namespace {

struct Recorded {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceEvent> events;
    DWORD thread = 0;

    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= count; });
    }
};

} // namespace

TEST(WindowsDeviceEvents, DeviceChangesArriveInOrderOnTheWindowsThread)
{
    DeviceEventService& service = native::deviceEventService();
    Recorded recorded;
    ASSERT_TRUE(service.start([&](const DeviceEvent& event) {
        std::lock_guard<std::mutex> lock(recorded.mutex);
        recorded.events.push_back(event);
        recorded.thread = GetCurrentThreadId();
        recorded.changed.notify_all();
    }));
    HWND window = static_cast<HWND>(windows_backend::deviceChangeWindowHandle());
    ASSERT_NE(window, nullptr);
    // A hidden top-level window: a message-only one would miss the broadcasts.
    EXPECT_NE(GetAncestor(window, GA_PARENT), nullptr);
    EXPECT_FALSE(IsWindowVisible(window));

    DEV_BROADCAST_VOLUME arrival {};
    arrival.dbcv_size = sizeof arrival;
    arrival.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    arrival.dbcv_unitmask = 1u << ('E' - 'A');
    DEV_BROADCAST_VOLUME removal = arrival;
    removal.dbcv_unitmask = 1u << ('G' - 'A');
    // The system refuses to post the volume messages (their parameter points at a record), so
    // they are sent, each after the posted ones before it have come through.
    ASSERT_TRUE(PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    ASSERT_TRUE(PostMessageW(window, WM_DEVICECHANGE, 0x0018 /* DBT_CONFIGCHANGED: not ours */, 0));
    ASSERT_TRUE(recorded.waitFor(1));
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&removal));
    ASSERT_TRUE(PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    ASSERT_TRUE(recorded.waitFor(4));
    service.stop();

    std::lock_guard<std::mutex> lock(recorded.mutex);
    ASSERT_EQ(recorded.events.size(), 4u); // the configuration change is none of the three
    EXPECT_EQ(recorded.events[0].kind, DeviceEventKind::NodesChanged);
    EXPECT_EQ(recorded.events[1].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(recorded.events[1].root, "E:\\");
    EXPECT_EQ(recorded.events[2].kind, DeviceEventKind::RemoveComplete);
    EXPECT_EQ(recorded.events[2].root, "G:\\");
    EXPECT_EQ(recorded.events[3].kind, DeviceEventKind::NodesChanged);
    EXPECT_NE(recorded.thread, GetCurrentThreadId());
    EXPECT_EQ(windows_backend::deviceChangeWindowHandle(), nullptr);
}

TEST(WindowsDeviceEvents, StopsAndStartsAgain)
{
    DeviceEventService& service = native::deviceEventService();
    Recorded recorded;
    auto record = [&](const DeviceEvent& event) {
        std::lock_guard<std::mutex> lock(recorded.mutex);
        recorded.events.push_back(event);
        recorded.changed.notify_all();
    };
    ASSERT_TRUE(service.start(record));
    service.stop();
    service.stop(); // twice is harmless
    ASSERT_TRUE(service.start(record));
    HWND window = static_cast<HWND>(windows_backend::deviceChangeWindowHandle());
    ASSERT_TRUE(PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    EXPECT_TRUE(recorded.waitFor(1));
    service.stop();
}

TEST(WindowsSingleInstance, TheNamedMutexRefusesASecondInstance)
{
    ASSERT_TRUE(acquireSingleInstance("Tarvel_Updater_Win"));
    HANDLE seen = OpenMutexW(SYNCHRONIZE, FALSE, L"Tarvel_Updater_Win");
    EXPECT_NE(seen, nullptr) << "the mutex carries the updater's name";
    if (seen)
        CloseHandle(seen);
    EXPECT_FALSE(acquireSingleInstance("Tarvel_Updater_Win"));
    releaseSingleInstance();
    EXPECT_TRUE(acquireSingleInstance("Tarvel_Updater_Win"));
    releaseSingleInstance();
    releaseSingleInstance(); // nothing held: nothing happens
}

TEST(WindowsSingleInstance, AnotherProcessHoldingTheMutexIsAnotherInstance)
{
    // What another updater's process leaves: the mutex exists while it runs.
    HANDLE other = CreateMutexW(nullptr, FALSE, L"Tarvel_Updater_Win_Other");
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(acquireSingleInstance("Tarvel_Updater_Win_Other"));
    CloseHandle(other);
    EXPECT_TRUE(acquireSingleInstance("Tarvel_Updater_Win_Other"));
    releaseSingleInstance();
}

TEST(WindowsLocalFolders, StagingIsCTarvelAndTheTemporaryPathExists)
{
    EXPECT_EQ(stagingFolder(), "C:\\Tarvel");
    const std::string temporary = temporaryPath();
    ASSERT_FALSE(temporary.empty());
    EXPECT_EQ(temporary.back(), '\\');
    const DWORD attributes = GetFileAttributesA(temporary.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    // The staging folder is made where the wireless update and the fonts put their copies.
    EXPECT_NE(createFolder(stagingFolder()), FolderResult::Failed);
    EXPECT_TRUE(folderExists("C:\\Tarvel"));
    EXPECT_EQ(createFolder(stagingFolder()), FolderResult::Exists);
}

TEST(WindowsUsbPresence, SetupApiListsNoTarvelDevice)
{
    std::vector<std::string> ids { "left over" };
    ASSERT_TRUE(native::usbDeviceService().presentHardwareIds(ids));
    for (const std::string& id : ids) {
        EXPECT_EQ(id.rfind("USB\\", 0), 0u) << id;
        EXPECT_EQ(id.find("VID_2B29"), std::string::npos) << id;
    }
}

TEST(WindowsVolumes, TheFixedDrivesAreListedWithTheirFileSystem)
{
    std::vector<VolumeInfo> volumes;
    ASSERT_TRUE(native::volumeService().mountedVolumes(volumes));
    bool sawC = false;
    for (const VolumeInfo& volume : volumes) {
        ASSERT_EQ(volume.root.size(), 3u) << volume.root;
        EXPECT_EQ(volume.root.substr(1), ":\\");
        if (volume.root == "C:\\") {
            sawC = true;
            EXPECT_FALSE(volume.removable);
            EXPECT_FALSE(volume.fileSystem.empty());
        }
    }
    EXPECT_TRUE(sawC);
}

TEST(WindowsVolumes, StepsOnADriveThatIsNotThereFail)
{
    VolumeService& volumes = native::volumeService();
    EXPECT_FALSE(volumes.removalStep("Q:\\", VolumeStep::Lock));
    EXPECT_FALSE(volumes.removalStep("Q:\\", VolumeStep::Eject));
    EXPECT_FALSE(volumes.removalStep("", VolumeStep::Lock));
    EXPECT_FALSE(volumes.removalStep("/mnt/x/", VolumeStep::Dismount));
}

TEST(WindowsSerialPort, APortThatDoesNotExistIsRefusedWithTheSystemsReason)
{
    std::string error;
    EXPECT_EQ(native::openSerialPort("COM97", 57600, &error), nullptr);
    EXPECT_NE(error.find("COM97"), std::string::npos) << error;
    EXPECT_NE(error.find("CreateFile failed with error "), std::string::npos) << error;
    EXPECT_EQ(native::openSerialPort("\\\\.\\COM98", 57600, nullptr), nullptr);
}

TEST(WindowsProcess, AFileIsNoTerminal)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(isTerminal(file));
    std::fclose(file);
    EXPECT_FALSE(isTerminal(nullptr));
}
