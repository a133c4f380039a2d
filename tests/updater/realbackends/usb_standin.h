#pragma once
// The simulator's device presented as a real USB device in a mocked /sys (libumockdev), for
// the updater's real Linux backends: each face it shows is a USB device with that face's
// identity, HID interface and report descriptor, whose hidraw node the device model serves;
// each re-enumeration is a removal and an addition, with a new node name (hidraw0, hidraw1,
// ...); the application face's drive is a FAT image on a loop device, mounted with FUSE at the
// folder the device model writes to, and shown through a USB mass-storage interface of the
// device whose disk node takes the eject request. The process must run under the mocking
// library's preload (mockhid::runUnderMockPreload).

#include "system_tools.h"

#include <umockdev.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devsim {
class Device;
}

namespace standin {

class UsbStandIn {
public:
    // drive: the device's drive (its folder the device model's drive folder), or none.
    UsbStandIn(devsim::Device& device, UMockdevTestbed* bed, FatDrive* drive);
    ~UsbStandIn();
    UsbStandIn(const UsbStandIn&) = delete;
    UsbStandIn& operator=(const UsbStandIn&) = delete;

    // Shows what the device shows now and follows it from then on.
    bool start(std::string& error);

    // What the host asked of the drive's disk node, and what happened on the way.
    int ejects() const { return m_ejects; }
    std::vector<std::string> nodes() const; // the hidraw nodes handed out, in order
    std::vector<std::string> problems() const; // the stand-in's own failures, if any

private:
    struct Face;
    void follow();
    void showDevice();
    void showDrive();
    void hideDrive();
    void addDriveChain();
    void removeDriveChain();
    bool onDiskIoctl(UMockdevIoctlClient* client);
    void problem(const std::string& text);
    static gboolean diskIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);

    devsim::Device& m_device;
    UMockdevTestbed* m_bed;
    FatDrive* m_drive;
    int m_subscriber = -1;
    std::thread m_follower;
    std::atomic<bool> m_stop { false };

    mutable std::mutex m_mutex; // the faces, the drive and the lists below
    std::unique_ptr<Face> m_face;
    std::vector<std::unique_ptr<Face>> m_retired; // faces that have left, their nodes pulled
    int m_nextNode = 0;
    int m_nextHid = 1;
    bool m_chainShown = false;
    std::vector<std::string> m_chainPaths; // the drive's mocked devices, parent first
    std::vector<std::string> m_nodes;
    std::vector<std::string> m_problems;
    std::atomic<int> m_ejects { 0 };

    // The disk node's handler, attached once for the whole run.
    GMainContext* m_diskContext = nullptr;
    UMockdevIoctlBase* m_diskHandler = nullptr;
    std::thread m_diskThread;
};

// A USB stick of some other maker: its own USB device with a mass-storage interface and a
// FAT volume mounted at its own folder, arriving when plugged in.
class UsbStick {
public:
    UsbStick(UMockdevTestbed* bed, FatDrive& drive);
    ~UsbStick();
    bool plugIn(std::string& error);

private:
    UMockdevTestbed* m_bed;
    FatDrive& m_drive;
    std::vector<std::string> m_paths;
};

// The mocked USB mass-storage chain below a USB device (interface, SCSI host, target, disk)
// whose block device is named after the drive's loop device; its paths, parent first.
std::vector<std::string> addMassStorage(UMockdevTestbed* bed, const std::string& usbPath,
    const std::string& port, int hostNumber, const FatDrive& drive);

} // namespace standin
