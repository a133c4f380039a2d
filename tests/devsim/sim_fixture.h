#pragma once
// A simulator on a private socket and a small bus client that speaks the bus's JSON lines,
// with hand-built frames and packets and a recorder of event lines.

#include "simulator.h"

#include "platform/clock.h"
#include "platform/vbus/wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

std::string uniqueSocketPath();

// One bus connection.
class Client {
public:
    explicit Client(const std::string& path);
    // extraWaitMs: how much longer than a quick request the answer may take (a read's limit).
    Json::Value call(const Json::Value& request, int extraWaitMs = 0);
    Json::Value op(const std::string& name);
    int open(unsigned vid, unsigned pid); // -1 when refused
    Json::Value write(int handle, const Bytes& data);
    // The bytes read, or nullopt when the bus answered ok:false (error then holds its text).
    std::optional<Bytes> read(int handle, int timeoutMs = 1000, size_t max = 64);
    std::string error;
    platform::vbus::BusClient& raw() { return m_client; }

private:
    platform::vbus::BusClient m_client;
};

// Collects the event lines of one subscription.
class EventRecorder {
public:
    explicit EventRecorder(const std::string& path);
    ~EventRecorder();
    // Waits until at least n events arrived; returns them as "name" or "name root" texts.
    std::vector<std::string> waitFor(size_t n, int timeoutMs = 5000);
    std::vector<std::string> events();

private:
    platform::vbus::BusClient m_client;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_events;
};

// Application frames as the host sends them: report id 0, the frame, 0xFF fill to 65 bytes.
Bytes hostReport(const Bytes& frame);
Bytes commandFrame(uint8_t code);
Bytes argumentFrame(uint8_t code, uint16_t a, uint32_t b);
// Unescapes the frame of an input report; nullopt unless SOH, EOT and a matching CRC.
std::optional<Bytes> frameBody(const Bytes& report);
// The text of a text frame (code 0x0A) up to its zero.
std::string frameText(const Bytes& body);

// Bootloader packets in 36-byte reports.
Bytes commandReport(uint8_t tag, std::vector<uint32_t> params, uint8_t flags = 0);
Bytes dataReport(const uint8_t* data, size_t length);
struct Packet {
    uint8_t reportId = 0;
    Bytes bytes; // the packet, without the report header
    uint8_t tag() const { return bytes.empty() ? 0 : bytes[0]; }
    uint32_t word(size_t i) const; // 32-bit word at offset 4 + 4i
};
std::optional<Packet> readPacket(Client& client, int handle, int timeoutMs = 2000);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { platform::setTimeScale(0.0); }
    void TearDown() override;
    void startSim(devsim::DeviceConfig config = {});
    devsim::Device& device() { return m_sim->device(); }
    bool idle() { return device().waitIdle(10000); }
    // A handle on the application face.
    int openApp(Client& client) { return client.open(0x2B29, 0x55); }
    // READ_DEVICE_INFO round trip: the reply body.
    std::optional<Bytes> readDeviceInfo(Client& client, int handle);

    std::string m_path;
    std::unique_ptr<devsim::Simulator> m_sim;
};

} // namespace simtest
