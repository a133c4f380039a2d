#pragma once
// The four platform services served over one virtual USB bus. HID opens one connection per
// device handle; the USB list and the volumes share one connection for listing and removal
// steps; events run on a connection of their own with a reader thread. Every connection
// begins with a hello that carries the bus's token.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/usb_devices.h"
#include "platform/vbus/wire.h"
#include "platform/volumes.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform::vbus {

// Each takes the bus's address as TARVEL_VBUS gives it.
class HidBackend : public HidService {
public:
    explicit HidBackend(std::string address)
        : m_path(std::move(address))
    { }

    HidDevice* open(uint16_t vendorId, uint16_t productId) override;
    int read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) override;
    int write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) override;
    std::wstring lastError(HidDevice* device) override;
    void close(HidDevice* device) override;
    void shutdown() override { }

private:
    void failedCall(HidDevice& device, const char* operation);

    std::string m_path;
    std::mutex m_mutex; // guards m_openError
    std::wstring m_openError;
};

// The listing connection shared by the USB and volume services of one bus. Requests on it
// are serialised; a broken connection is opened again on the next request.
class ListingLink {
public:
    explicit ListingLink(std::string address)
        : m_path(std::move(address))
    { }
    bool call(const Json::Value& request, Json::Value& response);
    // The answer had a field of the wrong type: reported as the bus's breach of contract.
    void refusedAnswer(const char* op);

private:
    std::string m_path;
    std::mutex m_mutex;
    BusClient m_client;
};

class UsbBackend : public UsbDeviceService {
public:
    explicit UsbBackend(std::shared_ptr<ListingLink> link)
        : m_link(std::move(link))
    { }
    bool presentHardwareIds(std::vector<std::string>& ids) override;

private:
    std::shared_ptr<ListingLink> m_link;
};

class VolumeBackend : public VolumeService {
public:
    explicit VolumeBackend(std::shared_ptr<ListingLink> link)
        : m_link(std::move(link))
    { }
    bool mountedVolumes(std::vector<VolumeInfo>& volumes) override;
    bool removalStep(const std::string& root, VolumeStep step) override;

private:
    std::shared_ptr<ListingLink> m_link;
};

class EventBackend : public DeviceEventService {
public:
    explicit EventBackend(std::string address)
        : m_path(std::move(address))
    { }
    ~EventBackend() override { stop(); }
    bool start(DeviceEventCallback callback) override;
    void stop() override;

private:
    void readEvents(DeviceEventCallback callback);

    std::string m_path;
    std::mutex m_mutex; // guards start/stop
    BusClient m_client;
    std::thread m_reader;
    std::atomic<bool> m_stopping { false };
};

// The fault report (platform::setVirtualBusFaultHandler). reportBusFault takes what went wrong
// in words that name the bus (a BusClient::open error does); reportContractFault names it for a
// breach found on an open connection.
void reportBusFault(const std::string& detail);
void reportContractFault(const std::string& address, const std::string& what);

// All four services of one bus.
struct Bus {
    explicit Bus(const std::string& address);
    std::string path;
    std::shared_ptr<ListingLink> link;
    HidBackend hid;
    UsbBackend usb;
    VolumeBackend volumes;
    EventBackend events;
};

// The bus this process uses (virtualBusPath()), or nullptr when none is selected. A new
// selection makes a new Bus; the previous one stays alive, since handles may still use it.
Bus* selectedBus();

} // namespace platform::vbus
