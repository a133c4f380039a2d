#pragma once
// The simulated device: one bike computer that shows one of its three faces on the bus at a
// time, answers the reports written to it, re-enumerates with realistic pauses and keeps its
// flash, its wireless firmware version and its drive across faces. Every public operation is
// thread-safe; the bus server calls them from one thread per connection.

#include "app_frames.h"
#include "drive.h"
#include "faults.h"
#include "flash_memory.h"
#include "image.h"

#include <json/value.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devsim {

enum class Face { Application, FlashBootloader, Rom };
const char* faceName(Face face); // "application", "bootloader", "rom"

// The error a write gets once the device gave up its data phase: the host then reads the
// device's abort status.
inline constexpr const char* kDataPhaseAbortedError = "data phase aborted by the device";
bool faceFromName(const std::string& name, Face& face);

enum class DriveMode { Labelled, Folder };

struct DeviceConfig {
    int model = 11; // device type 4 to 16
    bool japanese = false; // the Japanese firmware build (identity + 60)
    int major = 7; // firmware version of the application it is shipped with
    int minor = 63;
    std::string nrfVersion; // dotted text; empty: the version the updater carries for the model
    Face face = Face::Application;
    DriveMode drive = DriveMode::Labelled;
    std::string driveDir; // empty: a temporary folder removed with the device
    bool seedUserData = true;
    uint32_t applicationLength = 0x8000; // length of the image it is shipped with
    std::string nordicEndText = "Succus!!"; // one of the three end texts of the wireless update
};

struct UsbEntry {
    unsigned vid = 0;
    unsigned pid = 0;
    std::string hwid;
};

struct VolumeEntry {
    std::string root;
    std::string label;
    std::string fs;
    bool removable = true;
};

// Pause lengths of the device's own doings, in unscaled milliseconds.
struct DeviceTimings {
    int beforeLeaving = 300; // between the command and dropping off USB
    int away = 2000; // off the bus during a restart
    int mountDrive = 1200; // from arrival until the drive is mounted
    int nordicTick = 5; // between two progress ticks of the wireless update
    int fontProgram = 2000; // programming one font
};

class Device {
public:
    explicit Device(DeviceConfig config);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Prepares the drive and the flash and puts the device on the bus (without events).
    bool init(std::string& error);
    // Stops the device's background work and wakes every waiting request.
    void shutdown();

    // What the bus serves.
    void listUsb(std::vector<UsbEntry>& usb);
    void listVolumes(std::vector<VolumeEntry>& volumes);
    int openHandle(unsigned vid, unsigned pid); // -1 when no such device is present
    bool write(int handle, const Bytes& data, int& written, std::string& error);
    // Waits up to timeoutMs (below 0: no limit) for a report. gone() is asked now and then and
    // ends the wait when the waiting client has vanished.
    bool read(int handle, size_t max, int timeoutMs, Bytes& out, std::string& error,
        const std::function<bool()>& gone);
    void closeHandle(int handle);
    bool volumeStep(const std::string& root, const std::string& step, std::string& error);
    int subscribe();
    // Next event line for a subscriber; false when gone() or shutting down.
    bool nextEvent(int subscriber, std::string& line, const std::function<bool()>& gone);
    void unsubscribe(int subscriber);

    // Control: what a tester does with a device by hand.
    void plug();
    void unplug();
    void changeFace(Face face);
    void injectFault(const Fault& fault);
    void clearFaults();
    bool sendText(const std::string& text);
    Json::Value state();
    bool waitIdle(int timeoutMs); // until no restart or job is under way
    DeviceTimings& timings() { return m_timings; }

    std::string driveRoot() const { return m_drive.root(); }
    std::vector<uint8_t> flashContents();

private:
    struct Handle {
        uint64_t epoch = 0;
        std::deque<Bytes> queue;
    };
    struct DataPhase {
        bool active = false;
        bool toDevice = true;
        uint32_t address = 0;
        uint32_t remaining = 0;
        uint32_t done = 0;
    };

    // Everything below runs with m_mutex held unless it says otherwise.
    unsigned vidLocked() const;
    unsigned pidLocked() const;
    uint32_t protectedEndLocked() const;
    Face bootFaceLocked();
    int rawIdentityLocked() const;
    size_t unreadReportsLocked() const; // reports of the present device no host has read yet
    bool takeFaultLocked(
        FaultKind kind, const std::function<bool(const Fault&)>& matches = {}, Fault* taken = nullptr);
    bool hasFaultLocked(FaultKind kind) const;
    void emitReportLocked(Bytes report);
    void deliverReportLocked(const Bytes& report, int copies);
    // A late answer: what the device sends from the answer on waits until m_heldUntil, then goes
    // out in order to the handles open then (as a slow device's reports reach every host
    // handle open when they arrive).
    void releaseHeldReportsLocked();
    void emitEventLocked(const std::string& name, const std::string& root = "");
    void sendFrameLocked(const Bytes& body);
    void sendPacketLocked(uint8_t reportId, const Bytes& packet);
    void genericResponseLocked(uint32_t status, uint8_t tag);
    void leaveLocked();
    void arriveLocked(Face face);
    void mountDriveLocked();
    void unmountDriveLocked();

    // Application face (app_face.cpp).
    void appReportLocked(const Bytes& report);
    void nordicUpdateJob(uint16_t crc, uint32_t length, uint64_t epoch);
    void kanjiJob(uint64_t epoch);
    void eraseKeysJob(uint64_t epoch);
    void factoryResetJob();

    // Bootloader faces (bootloader_face.cpp).
    void bootloaderReportLocked(const Bytes& report);
    void commandPacketLocked(const uint8_t* packet, size_t length);
    struct CommandPacket; // a command's tag and parameters, as read from its packet
    bool injectedCommandFaultLocked(const CommandPacket& command);
    void eraseAllLocked(const CommandPacket& command);
    void eraseRegionLocked(const CommandPacket& command);
    void writeMemoryLocked(const CommandPacket& command);
    void readMemoryCommandLocked(const CommandPacket& command);
    void fillMemoryLocked(const CommandPacket& command);
    void getPropertyLocked(const CommandPacket& command);
    void setPropertyCommandLocked(const CommandPacket& command);
    void resetCommandLocked(const CommandPacket& command);
    void dataPacketLocked(const uint8_t* packet, size_t length);
    void readMemoryLocked(uint32_t address, uint32_t count);
    uint32_t propertyLocked(uint32_t property, uint32_t memoryId, std::vector<uint32_t>& values) const;
    uint32_t setPropertyLocked(uint32_t property, uint32_t value);

    // Background work, run one job at a time on m_worker, without m_mutex.
    void schedule(std::function<void()> job);
    void scheduleLocked(std::function<void()> job);
    void workerLoop();
    bool nap(int ms); // platform::pause in slices; false once shutting down
    // Leave the bus, stay away, come back in face (decided when it comes back when nullopt).
    void restartJob(int beforeLeaving, const Face* face, std::function<void()> whileAway = {});
    void arriveAndMount(Face face);
    bool stillCurrent(uint64_t epoch);

    DeviceConfig m_config;
    DeviceTimings m_timings;
    DeviceDrive m_drive;

    mutable std::mutex m_mutex;
    // Three wake-ups, so that a report, the hot path, wakes only the host's readers: reports
    // and handles (readers, a restart waiting for its last reports to be read), background
    // jobs (the worker, waitIdle), and bus events (subscribers).
    std::condition_variable m_changed;
    std::condition_variable m_jobsChanged;
    std::condition_variable m_eventQueued;
    bool m_stopping = false;
    bool m_present = false;
    Face m_face = Face::Application;
    uint64_t m_epoch = 1; // a new value on every departure
    std::map<int, Handle> m_handles;
    int m_nextHandle = 1;
    std::map<int, std::deque<std::string>> m_subscribers;
    int m_nextSubscriber = 1;
    bool m_driveMounted = false;
    bool m_driveLocked = false;

    FlashMemory m_flash;
    ImageIdentity m_application; // of the application face now running
    std::string m_nrfVersion;
    DataPhase m_phase;
    bool m_dataRefused = false; // the device aborted a write: its data reports are refused
    uint32_t m_verifyWrites = 1;
    uint32_t m_readMargin = 1;
    std::vector<Fault> m_faults;
    bool m_holding = false;
    std::chrono::steady_clock::time_point m_heldUntil;
    std::deque<std::pair<Bytes, int>> m_held; // reports and their copies

    std::deque<std::function<void()>> m_jobs;
    bool m_jobRunning = false;
    std::thread m_worker;
};

} // namespace devsim
