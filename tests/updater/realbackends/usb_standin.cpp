#include "usb_standin.h"

#include "mock_hidraw.h"

#include "device.h"

#include <json/reader.h>

#include <cerrno>
#include <filesystem>
#include <linux/cdrom.h>
#include <scsi/scsi_ioctl.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace standin {
namespace {

constexpr unsigned kApplicationVid = 0x2B29;
constexpr unsigned kApplicationPid = 0x55;

std::string sysPath(const gchar* path)
{
    return path ? std::string(path) : std::string();
}

std::string withoutSys(const std::string& path)
{
    return path.rfind("/sys", 0) == 0 ? path.substr(4) : path;
}

// Links the removal of a device left behind in the mocked /sys (its /sys/block and class
// entries): a device of the same name added later would otherwise not be listed.
void dropDanglingLinks(UMockdevTestbed* bed)
{
    gchar* sys = umockdev_testbed_get_sys_dir(bed);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(std::string(sys), fs::directory_options::none, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        if (it->is_symlink(ec) && !fs::exists(it->path(), ec)) {
            fs::remove(it->path(), ec);
        } else if (it->is_symlink(ec)) {
            it.disable_recursion_pending();
        }
    }
    g_free(sys);
}

} // namespace

std::vector<std::string> addMassStorage(UMockdevTestbed* bed, const std::string& usbPath,
    const std::string& port, int hostNumber, const FatDrive& drive)
{
    const std::string h = std::to_string(hostNumber);
    std::vector<std::string> paths;
    gchar* interface = umockdev_testbed_add_device(bed, "usb", (port + ":1.1").c_str(), usbPath.c_str(),
        "bInterfaceNumber", "01", "bInterfaceClass", "08", "bInterfaceSubClass", "06", "bInterfaceProtocol",
        "50", nullptr, "DEVTYPE", "usb_interface", "DRIVER", "usb-storage", nullptr);
    paths.push_back(sysPath(interface));
    gchar* host = umockdev_testbed_add_device(bed, "scsi", ("host" + h).c_str(), interface, nullptr, "DEVTYPE", "scsi_host", nullptr);
    gchar* target = umockdev_testbed_add_device(bed, "scsi", ("target" + h + ":0:0").c_str(), host, nullptr, "DEVTYPE", "scsi_target", nullptr);
    gchar* lun = umockdev_testbed_add_device(bed, "scsi", (h + ":0:0:0").c_str(), target, "vendor", "Tarvel  ", "model",
        "GPS Drive       ", "type", "0", "removable", "1", nullptr, "DEVTYPE", "scsi_device", nullptr);
    const std::string name = drive.loopName();
    const std::string minor = std::to_string(drive.loopMinor());
    gchar* rootDir = umockdev_testbed_get_root_dir(bed);
    const std::string testbedRoot = rootDir;
    g_free(rootDir);
    // The disk's node stays from its first arrival on, with its handler; a later arrival only
    // takes the place of the number the testbed keeps for it.
    const bool nodeMade = fs::exists(testbedRoot + "/dev/" + name);
    if (nodeMade)
        ::unlink((testbedRoot + "/dev/.node/" + name).c_str());
    const std::string node = std::string("P: ") + withoutSys(sysPath(lun)) + "/block/" + name + "\n"
        + (nodeMade ? "" : "N: " + name + "\n")
        + "E: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + name + "\nE: MAJOR=7\nE: MINOR=" + minor
        + "\nE: ID_BUS=usb\nE: ID_USB_DRIVER=usb-storage\nE: ID_TYPE=disk\nE: ID_FS_USAGE=filesystem\n"
        + "E: ID_FS_TYPE=vfat\nE: ID_FS_VERSION=FAT16\nE: ID_FS_LABEL=" + drive.label()
        + "\nE: ID_FS_LABEL_ENC=" + drive.label() + "\nA: dev=7:" + minor + "\nA: removable=1\nA: size=81920\n";
    GError* error = nullptr;
    umockdev_testbed_add_from_string(bed, node.c_str(), &error);
    if (error)
        g_error_free(error);
    const std::string block = sysPath(lun) + "/block/" + name;
    // udev finds a device by its number through /sys/dev/block, which the mocking library
    // turns into its own /dev: a link there leads the lookup back to the device.
    const std::string link = testbedRoot + "/dev/block/7:" + minor;
    std::error_code ec;
    fs::create_directories(testbedRoot + "/dev/block", ec);
    fs::remove(link, ec);
    fs::create_symlink(testbedRoot + block, link, ec);
    // No uevent: the host learns of a drive from the mount table, and the mocking library's
    // event queue is better kept for the USB devices and nodes the host listens to.
    paths.push_back(block);
    g_free(interface);
    g_free(host);
    g_free(target);
    g_free(lun);
    return paths;
}

struct UsbStandIn::Face {
    unsigned vid = 0, pid = 0;
    int handle = -1;
    std::unique_ptr<mockhid::MockHidrawDevice> node;
    std::atomic<bool> stop { false };
    std::thread pump;
};

UsbStandIn::UsbStandIn(devsim::Device& device, UMockdevTestbed* bed, FatDrive* drive)
    : m_device(device)
    , m_bed(UMOCKDEV_TESTBED(g_object_ref(bed)))
    , m_drive(drive)
{
}

UsbStandIn::~UsbStandIn()
{
    m_stop = true;
    if (m_follower.joinable())
        m_follower.join();
    if (m_subscriber >= 0)
        m_device.unsubscribe(m_subscriber);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_drive && m_drive->mounted()) {
            std::string error;
            m_drive->unmount(error);
        }
        if (m_face) {
            m_face->stop = true;
            m_face->pump.join();
            m_face->node->unplug();
            m_device.closeHandle(m_face->handle);
            m_face.reset();
        }
        m_retired.clear();
    }
    if (m_diskThread.joinable()) {
        m_diskThread.join();
        g_object_unref(m_diskHandler);
        g_main_context_unref(m_diskContext);
    }
    g_object_unref(m_bed);
}

bool UsbStandIn::start(std::string& error)
{
    m_subscriber = m_device.subscribe();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        showDevice();
        if (m_device.state()["drive"]["mounted"].asBool())
            showDrive();
        if (!m_problems.empty()) {
            error = m_problems.front();
            return false;
        }
    }
    m_follower = std::thread([this] { follow(); });
    return true;
}

std::vector<std::string> UsbStandIn::nodes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nodes;
}

std::vector<std::string> UsbStandIn::problems() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_problems;
}

void UsbStandIn::problem(const std::string& text)
{
    m_problems.push_back(text);
    std::fprintf(stderr, "usb stand-in: %s\n", text.c_str());
}

void UsbStandIn::follow()
{
    Json::CharReaderBuilder builder;
    std::string line;
    while (m_device.nextEvent(m_subscriber, line, [this] { return m_stop.load(); })) {
        Json::Value event;
        std::istringstream in(line);
        std::string errors;
        if (!Json::parseFromStream(builder, in, &event, &errors))
            continue;
        const std::string name = event["event"].asString();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (name == "nodes_changed")
            showDevice();
        else if (name == "volume_arrival")
            showDrive();
        else if (name == "volume_removal")
            hideDrive();
    }
}

// Puts the USB device in step with the model: a face whose handle the model no longer serves
// has left, and a present device without a face has arrived.
void UsbStandIn::showDevice()
{
    if (m_face) {
        int written = 0;
        std::string error;
        // An empty report is refused after the handle's own check: "device disconnected"
        // says this face has gone.
        m_device.write(m_face->handle, {}, written, error);
        if (error == "device disconnected" || error == "bad handle") {
            if (m_chainShown)
                removeDriveChain();
            m_face->stop = true;
            m_face->pump.join();
            m_face->node->unplug();
            m_device.closeHandle(m_face->handle);
            // Its node keeps answering (that the device is gone) for the rest of the run: a
            // host may still open a path it listed a moment before the removal.
            m_retired.push_back(std::move(m_face));
            dropDanglingLinks(m_bed);
        }
    }
    const Json::Value state = m_device.state();
    if (m_face || !state["present"].asBool())
        return;
    auto face = std::make_unique<Face>();
    face->vid = state["vid"].asUInt();
    face->pid = state["pid"].asUInt();
    face->handle = m_device.openHandle(face->vid, face->pid);
    if (face->handle < 0)
        return; // gone again already
    const bool application = face->vid == kApplicationVid && face->pid == kApplicationPid;
    const std::string faceName = state["face"].asString();
    mockhid::MockHidrawDevice::Identity identity;
    identity.vendor = uint16_t(face->vid);
    identity.product = uint16_t(face->pid);
    identity.manufacturer = faceName == "rom" ? "" : "Tarvel";
    identity.productName = application ? "Tarvel GPS" : faceName == "rom" ? "ROM bootloader" : "Tarvel Bootloader";
    identity.node = m_nextNode++;
    identity.hidNumber = m_nextHid++;
    Face* raw = face.get();
    face->node = std::make_unique<mockhid::MockHidrawDevice>(identity,
        application ? mockhid::kAppDescriptor : mockhid::kBootDescriptor,
        [this, raw](const mockhid::Bytes& report) {
            int written = 0;
            std::string error;
            m_device.write(raw->handle, report, written, error);
        },
        0ms, m_bed);
    if (!face->node->ok())
        problem("the hidraw node of " + faceName + " could not be made");
    face->pump = std::thread([this, raw] {
        while (!raw->stop) {

            mockhid::Bytes report;
            std::string error;
            if (!m_device.read(raw->handle, 64, 50, report, error, [raw] { return raw->stop.load(); }))
                break; // the face has left; the node is unplugged by the next change
            if (!report.empty())
                raw->node->queueReport(report);
        }
    });
    m_nodes.push_back("hidraw" + std::to_string(identity.node));
    m_face = std::move(face);
}

void UsbStandIn::showDrive()
{
    if (!m_drive || m_drive->mounted() || !m_face)
        return;
    std::string error;
    if (!m_drive->mount([this] { addDriveChain(); }, error))
        problem(error);
}

void UsbStandIn::hideDrive()
{
    if (!m_drive)
        return;
    std::string error;
    if (m_drive->mounted() && !m_drive->unmount(error))
        problem(error);
    if (m_chainShown)
        removeDriveChain();
}

void UsbStandIn::addDriveChain()
{
    if (!m_diskHandler) {
        // The disk node exists from the first chain on; its handler is attached once.
        m_chainPaths = addMassStorage(m_bed, m_face->node->usbPath(), "1-1", 6, *m_drive);
        m_diskContext = g_main_context_new();
        g_main_context_push_thread_default(m_diskContext);
        m_diskHandler = UMOCKDEV_IOCTL_BASE(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
        g_signal_connect(m_diskHandler, "handle-ioctl", G_CALLBACK(diskIoctl), this);
        const std::string node = "/dev/" + m_drive->loopName();
        if (!umockdev_testbed_attach_ioctl(m_bed, node.c_str(), m_diskHandler, nullptr))
            problem("no handler on " + node);
        g_main_context_pop_thread_default(m_diskContext);
        m_diskThread = std::thread([this] {
            g_main_context_push_thread_default(m_diskContext);
            while (!m_stop)
                if (!g_main_context_iteration(m_diskContext, FALSE))
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
            g_main_context_pop_thread_default(m_diskContext);
        });
    } else {
        m_chainPaths = addMassStorage(m_bed, m_face->node->usbPath(), "1-1", 6, *m_drive);
    }
    m_chainShown = true;
}

void UsbStandIn::removeDriveChain()
{
    if (!m_chainPaths.empty())
        umockdev_testbed_remove_device(m_bed, m_chainPaths.front().c_str());
    m_chainPaths.clear();
    m_chainShown = false;
    dropDanglingLinks(m_bed);
}

gboolean UsbStandIn::diskIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<UsbStandIn*>(self)->onDiskIoctl(client) ? TRUE : FALSE;
}

// The disk node's control requests: the door unlock is granted, and an eject of an unmounted
// drive takes the drive from the host back to the device model, which then drops it as the
// device does when the host ejects it.
bool UsbStandIn::onDiskIoctl(UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == SCSI_IOCTL_DOORUNLOCK) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    if (request != CDROMEJECT) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_drive || !m_drive->mounted() || m_drive->stillMounted()) {
            umockdev_ioctl_client_complete(client, -1, m_drive && m_drive->stillMounted() ? EBUSY : ENOMEDIUM);
            return true;
        }
        std::string error;
        if (!m_drive->takeBack(error))
            problem(error);
        ++m_ejects;
    }
    std::string error;
    const std::string root = m_device.driveRoot();
    if (!m_device.volumeStep(root, "lock", error) || !m_device.volumeStep(root, "dismount", error))
        problem("the device model kept its drive after the eject: " + error);
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

UsbStick::UsbStick(UMockdevTestbed* bed, FatDrive& drive)
    : m_bed(UMOCKDEV_TESTBED(g_object_ref(bed)))
    , m_drive(drive)
{
}

UsbStick::~UsbStick()
{
    std::string error;
    m_drive.unmount(error);
    g_object_unref(m_bed);
}

bool UsbStick::plugIn(std::string& error)
{
    // Put in place without a uevent: what the host notices is the stick's mount.
    const std::string devices = "P: /devices/2-1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=1234\n"
                                "A: idProduct=5678\nA: bcdDevice=0100\nA: manufacturer=Generic\n"
                                "A: product=Flash Disk\nA: serial=S1234\n";
    GError* failure = nullptr;
    if (!umockdev_testbed_add_from_string(m_bed, devices.c_str(), &failure)) {
        error = failure ? failure->message : "cannot add the stick";
        if (failure)
            g_error_free(failure);
        return false;
    }
    return m_drive.mount([&] { m_paths = addMassStorage(m_bed, "/sys/devices/2-1", "2-1", 8, m_drive); }, error);
}

} // namespace standin
