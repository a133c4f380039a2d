#include "device.h"

#include "crc/app_crc.h"
#include "platform/clock.h"
#include "platform/usb_devices.h"
#include "platform/vbus/wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace devsim {

namespace {

constexpr unsigned kTarvelVid = 0x2B29;
constexpr unsigned kApplicationPid = 0x55;
constexpr unsigned kRomVid = 0x15A2;
constexpr unsigned kRomPid = 0x73;
constexpr unsigned kRevision = 0x0100;
constexpr size_t kHandleQueueLimit = 65536; // reports; older ones are lost beyond it
constexpr int kDrainBeforeLeavingMs = 1000; // real time a restart waits for the host to read on
constexpr size_t kBootloaderOutputSize = 36;

std::string defaultNordicVersion(int model)
{
    if (model == 15)
        return "2.13.32.13";
    if (model >= 11 && model <= 16)
        return "2.13.33.26";
    return "1.10.31.39";
}

} // namespace

const char* faceName(Face face)
{
    switch (face) {
    case Face::Application:
        return "application";
    case Face::FlashBootloader:
        return "bootloader";
    case Face::Rom:
        return "rom";
    }
    return "";
}

bool faceFromName(const std::string& name, Face& face)
{
    for (Face f : { Face::Application, Face::FlashBootloader, Face::Rom }) {
        if (name == faceName(f)) {
            face = f;
            return true;
        }
    }
    return false;
}

Device::Device(DeviceConfig config)
    : m_config(std::move(config))
{ }

Device::~Device()
{
    shutdown();
}

bool Device::init(std::string& error)
{
    if (m_config.model < 4 || m_config.model > 16) {
        error = "model must be 4 to 16";
        return false;
    }
    if (!m_drive.prepare(m_config.driveDir, m_config.seedUserData, error))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nrfVersion = m_config.nrfVersion.empty() ? defaultNordicVersion(m_config.model) : m_config.nrfVersion;
    // A device from the factory: its bootloader, and its application unless it only shows ROM.
    if (m_config.face != Face::Rom) {
        m_flash.load(0, buildBootloaderRegion());
        m_flash.load(bl::kApplicationBase,
            buildApplicationImage(m_config.model, m_config.japanese ? 60 : 0, m_config.major, m_config.minor,
                m_config.applicationLength));
        findApplication(m_flash, m_application);
    }
    m_face = m_config.face;
    m_present = true;
    if (m_face == Face::Application)
        m_driveMounted = true;
    m_stopping = false;
    m_worker = std::thread([this] { workerLoop(); });
    return true;
}

void Device::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    m_jobsChanged.notify_all();
    m_eventQueued.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

// ---- identity ----

unsigned Device::vidLocked() const
{
    return m_face == Face::Rom ? kRomVid : kTarvelVid;
}

unsigned Device::pidLocked() const
{
    switch (m_face) {
    case Face::Application:
        return kApplicationPid;
    case Face::FlashBootloader:
        return unsigned(m_config.model + (m_config.japanese ? 60 : 0));
    case Face::Rom:
        return kRomPid;
    }
    return 0;
}

uint32_t Device::protectedEndLocked() const
{
    return m_face == Face::FlashBootloader ? bl::kApplicationBase : 0;
}

int Device::rawIdentityLocked() const
{
    if (m_application.hasRecord)
        return m_application.deviceType + (m_application.variant == 60 ? 60 : 0);
    return m_config.model + (m_config.japanese ? 60 : 0);
}

size_t Device::unreadReportsLocked() const
{
    size_t unread = 0;
    for (const auto& [id, handle] : m_handles)
        if (handle.epoch == m_epoch)
            unread += handle.queue.size();
    return unread;
}

Face Device::bootFaceLocked()
{
    ImageIdentity identity;
    if (findApplication(m_flash, identity)) {
        m_application = identity;
        return Face::Application;
    }
    return bootloaderPresent(m_flash) ? Face::FlashBootloader : Face::Rom;
}

// ---- faults ----

bool Device::takeFaultLocked(FaultKind kind, const std::function<bool(const Fault&)>& matches, Fault* taken)
{
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != kind || (matches && !matches(*it)))
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        if (taken)
            *taken = *it;
        if (!it->always && --it->count <= 0)
            m_faults.erase(it);
        return true;
    }
    return false;
}

bool Device::hasFaultLocked(FaultKind kind) const
{
    return std::any_of(m_faults.begin(), m_faults.end(), [kind](const Fault& f) { return f.kind == kind; });
}

void Device::injectFault(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
    if (fault.kind == FaultKind::DriveFull)
        m_drive.setFull(true);
}

void Device::clearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
    m_drive.setFull(false);
}

// ---- reports and events ----

void Device::emitReportLocked(Bytes report)
{
    if (!m_present)
        return;
    if (takeFaultLocked(FaultKind::DropReport))
        return;
    const int copies = takeFaultLocked(FaultKind::RepeatReport) ? 2 : 1;
    releaseHeldReportsLocked();
    if (m_holding) {
        m_held.emplace_back(std::move(report), copies);
        return;
    }
    deliverReportLocked(report, copies);
}

void Device::releaseHeldReportsLocked()
{
    if (!m_holding || std::chrono::steady_clock::now() < m_heldUntil)
        return;
    m_holding = false;
    for (const auto& [report, copies] : m_held)
        deliverReportLocked(report, copies);
    m_held.clear();
}

void Device::deliverReportLocked(const Bytes& report, int copies)
{
    for (auto& [id, handle] : m_handles) {
        if (handle.epoch != m_epoch)
            continue;
        for (int i = 0; i < copies; ++i) {
            if (handle.queue.size() >= kHandleQueueLimit)
                handle.queue.pop_front();
            handle.queue.push_back(report);
        }
    }
    m_changed.notify_all();
}

void Device::sendFrameLocked(const Bytes& body)
{
    // A corrupted frame has every bit of its CRC flipped: it still parses, but fails its check.
    Bytes frame = takeFaultLocked(FaultKind::CorruptCrc)
        ? encodeFrameWithCrc(body, uint16_t(~appCrc16(body.data(), body.size())))
        : encodeFrame(body);
    emitReportLocked(inputReport(frame));
}

void Device::sendPacketLocked(uint8_t reportId, const Bytes& packet)
{
    Bytes report(bl::kReportSize, 0);
    report[0] = reportId;
    report[2] = uint8_t(packet.size() & 0xFF);
    report[3] = uint8_t(packet.size() >> 8);
    std::copy(packet.begin(), packet.begin() + std::min(packet.size(), bl::kMaxPacket), report.begin() + 4);
    emitReportLocked(std::move(report));
}

static void appendLe32(Bytes& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

void Device::genericResponseLocked(uint32_t status, uint8_t tag)
{
    Bytes packet { bl::kGenericResponse, 0, 0, 2 };
    appendLe32(packet, status);
    appendLe32(packet, tag);
    sendPacketLocked(bl::kReportResponse, packet);
}

void Device::emitEventLocked(const std::string& name, const std::string& root)
{
    Json::Value event(Json::objectValue);
    event["event"] = name;
    if (!root.empty())
        event["root"] = root;
    std::string line = platform::vbus::toLine(event);
    for (auto& [id, queue] : m_subscribers)
        queue.push_back(line);
    m_eventQueued.notify_all();
    m_changed.notify_all(); // an arrival or departure also ends what readers wait for
}

void Device::mountDriveLocked()
{
    if (m_driveMounted || !m_present || m_face != Face::Application)
        return;
    m_driveMounted = true;
    m_driveLocked = false;
    emitEventLocked("volume_arrival", m_drive.root());
}

void Device::unmountDriveLocked()
{
    if (!m_driveMounted)
        return;
    m_driveMounted = false;
    m_driveLocked = false;
    emitEventLocked("volume_removal", m_drive.root());
}

void Device::leaveLocked()
{
    if (!m_present)
        return;
    unmountDriveLocked();
    m_present = false;
    ++m_epoch;
    m_holding = false; // what it held back is lost with the departure
    m_held.clear();
    m_phase = DataPhase();
    m_dataRefused = false;
    emitEventLocked("nodes_changed");
}

void Device::arriveLocked(Face face)
{
    if (m_present)
        return;
    m_face = face;
    m_present = true;
    m_phase = DataPhase();
    emitEventLocked("nodes_changed");
}

// ---- the bus ----

void Device::listUsb(std::vector<UsbEntry>& usb)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    usb.clear();
    if (!m_present)
        return;
    UsbEntry entry;
    entry.vid = vidLocked();
    entry.pid = pidLocked();
    entry.hwid = platform::formatUsbHardwareId(entry.vid, entry.pid, kRevision);
    usb.push_back(entry);
}

void Device::listVolumes(std::vector<VolumeEntry>& volumes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    volumes.clear();
    if (!m_present || !m_driveMounted)
        return;
    VolumeEntry entry;
    entry.root = m_drive.root();
    entry.label = m_config.drive == DriveMode::Labelled ? "TARVEL" : "";
    entry.fs = "FAT32";
    entry.removable = true;
    volumes.push_back(entry);
}

int Device::openHandle(unsigned vid, unsigned pid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_present || vid != vidLocked() || pid != pidLocked())
        return -1;
    int id = m_nextHandle++;
    m_handles[id].epoch = m_epoch;
    return id;
}

void Device::closeHandle(int handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handles.erase(handle);
}

bool Device::write(int handle, const Bytes& data, int& written, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        error = "bad handle";
        return false;
    }
    if (!m_present || it->second.epoch != m_epoch) {
        error = "device disconnected";
        return false;
    }
    if (data.empty()) {
        error = "empty report";
        return false;
    }
    const bool application = m_face == Face::Application;
    const size_t size = application ? kAppOutputWriteSize : kBootloaderOutputSize;
    if (data.size() > size) {
        error = "report too long";
        return false;
    }
    if (application ? data[0] != 0 : (data[0] != bl::kReportCommand && data[0] != bl::kReportDataOut)) {
        error = "no such output report";
        return false;
    }
    Bytes report = data;
    report.resize(size, 0x00);
    written = int(size);
    if (application) {
        appReportLocked(Bytes(report.begin() + 1, report.end()));
        return true;
    }
    bootloaderReportLocked(report);
    if (report[0] == bl::kReportDataOut && m_dataRefused) {
        error = kDataPhaseAbortedError;
        return false;
    }
    return true;
}

bool Device::read(
    int handle, size_t max, int timeoutMs, Bytes& out, std::string& error, const std::function<bool()>& gone)
{
    out.clear();
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        releaseHeldReportsLocked();
        auto it = m_handles.find(handle);
        if (it == m_handles.end()) {
            error = "bad handle";
            return false;
        }
        // Once the device left, its handles fail, even with reports still queued.
        if (!m_present || it->second.epoch != m_epoch) {
            it->second.queue.clear();
            error = "device disconnected";
            return false;
        }
        if (!it->second.queue.empty()) {
            out = std::move(it->second.queue.front());
            it->second.queue.pop_front();
            m_changed.notify_all(); // a restart may wait for the host to take its last reports
            if (out.size() > max)
                out.resize(max);
            return true;
        }
        if (m_stopping) {
            error = "simulator stopping";
            return false;
        }
        auto now = std::chrono::steady_clock::now();
        if (timeoutMs >= 0 && now >= deadline)
            return true; // nothing in time
        auto slice = now + std::chrono::milliseconds(50);
        if (m_holding)
            slice = std::min(slice, m_heldUntil);
        m_changed.wait_until(lock, timeoutMs >= 0 ? std::min(slice, deadline) : slice);
        if (gone && gone()) {
            error = "client gone";
            return false;
        }
    }
}

bool Device::volumeStep(const std::string& root, const std::string& step, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool known = root == m_drive.root();
    if (step != "lock" && step != "dismount" && step != "allow_removal" && step != "eject") {
        error = "unknown step";
        return false;
    }
    if (!known || !m_present || m_face != Face::Application) {
        error = "no such volume";
        return false;
    }
    const bool stuck = hasFaultLocked(FaultKind::DriveStuck);
    if (step == "lock") {
        if (!m_driveMounted || stuck) {
            error = stuck ? "volume is in use" : "volume is not mounted";
            return false;
        }
        m_driveLocked = true;
        return true;
    }
    if (step == "dismount") {
        if (!m_driveMounted || stuck) {
            error = stuck ? "volume is in use" : "volume is not mounted";
            return false;
        }
        unmountDriveLocked();
        return true;
    }
    if (m_driveMounted) { // allow_removal and eject follow a dismount
        error = "volume is still mounted";
        return false;
    }
    return true;
}

int Device::subscribe()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int id = m_nextSubscriber++;
    m_subscribers[id];
    return id;
}

bool Device::nextEvent(int subscriber, std::string& line, const std::function<bool()>& gone)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        auto it = m_subscribers.find(subscriber);
        if (it == m_subscribers.end() || m_stopping)
            return false;
        if (!it->second.empty()) {
            line = std::move(it->second.front());
            it->second.pop_front();
            return true;
        }
        m_eventQueued.wait_for(lock, std::chrono::milliseconds(50));
        if (gone && gone())
            return false;
    }
}

void Device::unsubscribe(int subscriber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscribers.erase(subscriber);
}

// ---- control ----

void Device::plug()
{
    Face face;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_present)
            return;
        face = bootFaceLocked();
    }
    schedule([this, face] { arriveAndMount(face); });
}

void Device::unplug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    leaveLocked();
}

void Device::changeFace(Face face)
{
    schedule([this, face] { restartJob(0, &face); });
}

bool Device::sendText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_present || m_face != Face::Application)
        return false;
    sendFrameLocked(textBody(text.substr(0, 50)));
    return true;
}

Json::Value Device::state()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Json::Value s(Json::objectValue);
    s["present"] = m_present;
    s["face"] = faceName(m_face);
    s["vid"] = vidLocked();
    s["pid"] = pidLocked();
    s["model"] = m_config.model;
    s["japanese"] = m_config.japanese;
    Json::Value app(Json::objectValue);
    ImageIdentity identity;
    app["valid"] = findApplication(m_flash, identity);
    app["raw_id"] = rawIdentityLocked();
    app["major"] = identity.hasRecord ? identity.major : m_application.major;
    app["minor"] = identity.hasRecord ? identity.minor : m_application.minor;
    s["application"] = app;
    s["nrf_version"] = m_nrfVersion;
    Json::Value drive(Json::objectValue);
    drive["root"] = m_drive.root();
    drive["mounted"] = m_driveMounted;
    drive["full"] = m_drive.isFull();
    s["drive"] = drive;
    s["erase_count"] = m_flash.eraseCount();
    s["open_handles"] = Json::UInt64(m_handles.size());
    Json::Value faults(Json::arrayValue);
    for (const auto& f : m_faults)
        faults.append(faultName(f.kind));
    s["faults"] = faults;
    s["busy"] = m_jobRunning || !m_jobs.empty();
    return s;
}

std::vector<uint8_t> Device::flashContents()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flash.flash();
}

// ---- background work ----

void Device::schedule(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    scheduleLocked(std::move(job));
}

void Device::scheduleLocked(std::function<void()> job)
{
    if (m_stopping)
        return;
    m_jobs.push_back(std::move(job));
    m_jobsChanged.notify_all();
}

void Device::workerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_jobsChanged.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping)
            return;
        auto job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_jobRunning = true;
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            // A job that fails (the drive folder could not be listed, ...) must not end the
            // process: the device goes on as a real one would after a glitch.
            std::fprintf(stderr, "tarvel-devsim: device job failed: %s\n", e.what());
        }
        lock.lock();
        m_jobRunning = false;
        m_jobsChanged.notify_all();
    }
}

bool Device::waitIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_jobsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
        [this] { return m_stopping || (!m_jobRunning && m_jobs.empty()); });
}

bool Device::nap(int ms)
{
    // Slices keep a stopping simulator from waiting out a long pause.
    while (ms > 0) {
        int slice = std::min(ms, 250);
        platform::pause(platform::Milliseconds(slice));
        ms -= slice;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stopping;
}

bool Device::stillCurrent(uint64_t epoch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stopping && m_present && m_epoch == epoch;
}

void Device::arriveAndMount(Face face)
{
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        arriveLocked(face);
        epoch = m_epoch;
    }
    if (face != Face::Application)
        return;
    if (!nap(m_timings.mountDrive))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_epoch == epoch)
        mountDriveLocked();
}

void Device::restartJob(int beforeLeaving, const Face* face, std::function<void()> whileAway)
{
    if (beforeLeaving > 0 && !nap(beforeLeaving))
        return;
    {
        // What the device sent before it restarts reaches the host first: handles fail once the
        // device left, so the last answer (a status, "Succus!!") must have been read by then.
        // The wait lasts while the host keeps reading; a host that reads nothing for a second
        // of real time is not waited for.
        std::unique_lock<std::mutex> lock(m_mutex);
        size_t unread = unreadReportsLocked();
        while (unread > 0 && !m_stopping
            && m_changed.wait_for(lock, std::chrono::milliseconds(kDrainBeforeLeavingMs),
                [&] { return m_stopping || unreadReportsLocked() < unread; }))
            unread = unreadReportsLocked();
        leaveLocked();
    }
    if (whileAway)
        whileAway();
    if (!nap(m_timings.away))
        return;
    Face next;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Face booted = bootFaceLocked();
        next = face ? *face : booted;
    }
    arriveAndMount(next);
}

} // namespace devsim
