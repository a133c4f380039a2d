#include "recording_services.h"

#include "platform/debug_output.h"
#include "platform/native.h"
#include "platform/recording/recording.h"
#include "platform/session_recording.h"
#include "platform/vbus/wire.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

namespace platform {
namespace {

using recording::RecordingWriter;

RecordingWriter g_writer;
std::atomic<bool> g_active { false };
std::atomic<int> g_listingConn { 0 }; // the USB and volume listings share one channel, as on the bus

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 0x80 ? char(c) : '?');
    return out;
}

Json::Value op(const char* name)
{
    Json::Value request(Json::objectValue);
    request["op"] = name;
    return request;
}

Json::Value answer(bool ok, const std::string& error = "")
{
    Json::Value response(Json::objectValue);
    response["ok"] = ok;
    if (!ok)
        response["error"] = error.empty() ? "failed" : error;
    return response;
}

// The drives whose tree has been written since they last arrived.
std::mutex g_drivesMutex;
std::set<std::string> g_describedDrives;

void describeOnArrival(const std::string& root)
{
    {
        std::lock_guard<std::mutex> lock(g_drivesMutex);
        if (!g_describedDrives.insert(root).second)
            return;
    }
    g_writer.driveTree(root);
}

void forgetDrive(const std::string& root)
{
    std::lock_guard<std::mutex> lock(g_drivesMutex);
    g_describedDrives.erase(root);
}

// "USB\VID_2B29&PID_0055&REV_0100" → vid, pid; 0 for a text of another form.
unsigned idAfter(const std::string& hwid, const char* key)
{
    const size_t at = hwid.find(key);
    if (at == std::string::npos)
        return 0;
    return unsigned(std::strtoul(hwid.substr(at + std::char_traits<char>::length(key), 4).c_str(), nullptr, 16));
}

class RecordingHid : public HidService {
public:
    explicit RecordingHid(HidService& (*chosen)())
        : m_chosen(chosen)
    { }

    HidDevice* open(uint16_t vendorId, uint16_t productId) override
    {
        HidService& inner = m_chosen();
        HidDevice* device = inner.open(vendorId, productId);
        Json::Value request = op("open");
        request["vid"] = vendorId;
        request["pid"] = productId;
        const int conn = g_writer.newConn();
        Json::Value response = answer(device != nullptr, device ? "" : narrow(inner.lastError(nullptr)));
        if (device) {
            response["handle"] = conn;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open[device] = Open { &inner, conn };
        }
        g_writer.request(conn, request, response);
        return device;
    }

    int read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) override
    {
        const Open open = find(device);
        const int got = open.inner->read(device, buffer, length, timeoutMs);
        Json::Value request = op("read");
        request["handle"] = open.conn;
        request["max"] = Json::UInt64(length);
        request["timeout_ms"] = timeoutMs;
        Json::Value response = answer(got >= 0, got >= 0 ? "" : narrow(open.inner->lastError(device)));
        if (got >= 0)
            response["data"] = vbus::hexEncode(buffer, size_t(got));
        g_writer.request(open.conn, request, response);
        return got;
    }

    int write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) override
    {
        const Open open = find(device);
        const int written = open.inner->write(device, data, length, timeoutMs);
        Json::Value request = op("write");
        request["handle"] = open.conn;
        request["data"] = data ? vbus::hexEncode(data, length) : "";
        request["timeout_ms"] = timeoutMs;
        Json::Value response = answer(written >= 0, written >= 0 ? "" : narrow(open.inner->lastError(device)));
        if (written >= 0)
            response["written"] = written;
        g_writer.request(open.conn, request, response);
        return written;
    }

    std::wstring lastError(HidDevice* device) override
    {
        return device ? find(device).inner->lastError(device) : m_chosen().lastError(nullptr);
    }

    void close(HidDevice* device) override
    {
        if (!device)
            return;
        const Open open = find(device);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open.erase(device);
        }
        open.inner->close(device);
        Json::Value request = op("close");
        request["handle"] = open.conn;
        g_writer.request(open.conn, request, answer(true));
    }

    void shutdown() override { m_chosen().shutdown(); }

private:
    struct Open {
        HidService* inner = nullptr;
        int conn = 0;
    };

    // A device opened before the recording began goes to the service chosen now, under a
    // connection number of its own.
    Open find(HidDevice* device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_open.find(device);
        if (it == m_open.end())
            it = m_open.emplace(device, Open { &m_chosen(), g_writer.newConn() }).first;
        return it->second;
    }

    HidService& (*m_chosen)();
    std::mutex m_mutex;
    std::map<HidDevice*, Open> m_open;
};

class RecordingUsb : public UsbDeviceService {
public:
    explicit RecordingUsb(UsbDeviceService& (*chosen)())
        : m_chosen(chosen)
    { }

    bool presentHardwareIds(std::vector<std::string>& ids) override
    {
        const bool ok = m_chosen().presentHardwareIds(ids);
        Json::Value response = answer(ok, "the USB devices could not be listed");
        if (ok) {
            Json::Value usb(Json::arrayValue);
            for (const std::string& id : ids) {
                Json::Value entry(Json::objectValue);
                entry["vid"] = idAfter(id, "VID_");
                entry["pid"] = idAfter(id, "PID_");
                entry["hwid"] = id;
                usb.append(entry);
            }
            response["usb"] = usb;
        }
        g_writer.request(g_listingConn, op("list"), response);
        return ok;
    }

private:
    UsbDeviceService& (*m_chosen)();
};

class RecordingVolumes : public VolumeService {
public:
    explicit RecordingVolumes(VolumeService& (*chosen)())
        : m_chosen(chosen)
    { }

    bool mountedVolumes(std::vector<VolumeInfo>& volumes) override
    {
        const bool ok = m_chosen().mountedVolumes(volumes);
        Json::Value response = answer(ok, "the volumes could not be listed");
        if (ok) {
            Json::Value list(Json::arrayValue);
            std::set<std::string> present;
            for (const VolumeInfo& volume : volumes) {
                Json::Value entry(Json::objectValue);
                entry["root"] = volume.root;
                entry["label"] = volume.label;
                entry["fs"] = volume.fileSystem;
                entry["removable"] = volume.removable;
                list.append(entry);
                // Only removable drives: a computer's own disks are none of the recording's business.
                if (volume.removable) {
                    present.insert(volume.root);
                    describeOnArrival(volume.root);
                }
            }
            {
                std::lock_guard<std::mutex> lock(g_drivesMutex);
                for (auto it = g_describedDrives.begin(); it != g_describedDrives.end();)
                    it = present.count(*it) ? std::next(it) : g_describedDrives.erase(it);
            }
            response["volumes"] = list;
        }
        g_writer.request(g_listingConn, op("list"), response);
        return ok;
    }

    bool removalStep(const std::string& root, VolumeStep step) override
    {
        const bool ok = m_chosen().removalStep(root, step);
        Json::Value request = op("volume");
        request["root"] = root;
        request["step"] = volumeStepName(step);
        g_writer.request(g_listingConn, request, answer(ok, "the step failed"));
        return ok;
    }

    bool rootFolders(const std::string& root, std::vector<std::string>& names) override
    {
        return m_chosen().rootFolders(root, names);
    }

private:
    VolumeService& (*m_chosen)();
};

class RecordingEvents : public DeviceEventService {
public:
    explicit RecordingEvents(DeviceEventService& (*chosen)())
        : m_chosen(chosen)
    { }

    bool start(DeviceEventCallback callback) override
    {
        // Events that come before the subscription is written wait for it, so the file shows
        // them after it. Each start has a gate of its own: a reader of an earlier start that
        // the backend stops meanwhile never waits on this one.
        auto gate = std::make_shared<Gate>();
        const int conn = g_writer.newConn();
        const bool ok = m_chosen().start([gate, conn, callback = std::move(callback)](const DeviceEvent& event) {
            gate->wait();
            Json::Value line(Json::objectValue);
            switch (event.kind) {
            case DeviceEventKind::NodesChanged:
                line["event"] = "nodes_changed";
                break;
            case DeviceEventKind::Arrival:
                describeOnArrival(event.root);
                line["event"] = "volume_arrival";
                line["root"] = event.root;
                break;
            case DeviceEventKind::RemoveComplete:
                forgetDrive(event.root);
                line["event"] = "volume_removal";
                line["root"] = event.root;
                break;
            }
            g_writer.event(conn, line);
            if (callback)
                callback(event);
        });
        g_writer.request(conn, op("subscribe"), answer(ok, "the device-change events could not be reached"));
        gate->open();
        return ok;
    }

    void stop() override { m_chosen().stop(); }

private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool isOpen = false;
        void open()
        {
            std::lock_guard<std::mutex> lock(mutex);
            isOpen = true;
            opened.notify_all();
        }
        void wait()
        {
            std::unique_lock<std::mutex> lock(mutex);
            opened.wait(lock, [this] { return isOpen; });
        }
    };

    DeviceEventService& (*m_chosen)();
};

std::mutex g_handlerMutex;
std::function<void(const std::string&)> g_failureHandler;

} // namespace

namespace recording_layer {

bool active()
{
    return g_active.load();
}

HidService& hid(HidService& (*chosen)())
{
    static RecordingHid service(chosen);
    return service;
}
UsbDeviceService& usb(UsbDeviceService& (*chosen)())
{
    static RecordingUsb service(chosen);
    return service;
}
VolumeService& volumes(VolumeService& (*chosen)())
{
    static RecordingVolumes service(chosen);
    return service;
}
DeviceEventService& events(DeviceEventService& (*chosen)())
{
    static RecordingEvents service(chosen);
    return service;
}

} // namespace recording_layer

bool startSessionRecording(const std::string& path, bool overwrite, const std::string& program, std::string& error)
{
    recording::RecordingOrigin origin;
    origin.program = program;
    origin.platform = native::platformName();
    if (!g_writer.open(path, overwrite, origin, error))
        return false;
    g_writer.setFailureHandler([](const std::string& message) {
        std::lock_guard<std::mutex> lock(g_handlerMutex);
        if (g_failureHandler)
            g_failureHandler(message);
        else
            debugOutput((message + "\n").c_str());
    });
    g_listingConn = g_writer.newConn();
    g_active = true;
    return true;
}

void setSessionRecordingFailureHandler(std::function<void(const std::string& message)> handler)
{
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    g_failureHandler = std::move(handler);
}

void stopSessionRecording()
{
    g_active = false;
    g_writer.close();
}

bool sessionRecordingActive()
{
    return g_active.load();
}

} // namespace platform
