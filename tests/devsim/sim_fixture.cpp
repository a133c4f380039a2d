#include "sim_fixture.h"

#include "crc/app_crc.h"

#include <atomic>
#include <cstdlib>

namespace simtest {

std::string uniqueSocketPath()
{
    // A private folder of this test process, so that no socket lands on anyone else's path.
    static const std::string folder = [] {
        char pattern[] = "/tmp/devsim-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    static std::atomic<int> counter { 0 };
    return folder + "/bus-" + std::to_string(counter++) + ".sock";
}

Client::Client(const std::string& path)
{
    std::string message;
    EXPECT_TRUE(m_client.connect(path, &message)) << message;
}

Json::Value Client::call(const Json::Value& request, int extraWaitMs)
{
    Json::Value response;
    if (!m_client.call(request, response, extraWaitMs))
        response["transport_failed"] = true;
    return response;
}

Json::Value Client::op(const std::string& name)
{
    Json::Value request(Json::objectValue);
    request["op"] = name;
    return call(request);
}

int Client::open(unsigned vid, unsigned pid)
{
    Json::Value request(Json::objectValue);
    request["op"] = "open";
    request["vid"] = vid;
    request["pid"] = pid;
    Json::Value response = call(request);
    error = response["error"].asString();
    return response["ok"].asBool() ? response["handle"].asInt() : -1;
}

Json::Value Client::write(int handle, const Bytes& data)
{
    Json::Value request(Json::objectValue);
    request["op"] = "write";
    request["handle"] = handle;
    request["data"] = platform::vbus::hexEncode(data);
    request["timeout_ms"] = -1;
    return call(request);
}

std::optional<Bytes> Client::read(int handle, int timeoutMs, size_t max)
{
    Json::Value request(Json::objectValue);
    request["op"] = "read";
    request["handle"] = handle;
    request["max"] = Json::UInt64(max);
    request["timeout_ms"] = timeoutMs;
    Json::Value response = call(request, timeoutMs < 0 ? -1 : timeoutMs);
    if (!response["ok"].asBool()) {
        error = response["error"].asString();
        return std::nullopt;
    }
    Bytes bytes;
    EXPECT_TRUE(platform::vbus::hexDecode(response["data"].asString(), bytes));
    return bytes;
}

EventRecorder::EventRecorder(const std::string& path)
{
    EXPECT_TRUE(m_client.connect(path));
    Json::Value request(Json::objectValue), response;
    request["op"] = "subscribe";
    EXPECT_TRUE(m_client.call(request, response));
    EXPECT_TRUE(response["ok"].asBool());
    m_thread = std::thread([this] {
        Json::Value event;
        while (m_client.readMessage(event)) {
            std::string text = event["event"].asString();
            if (event.isMember("root"))
                text += " " + event["root"].asString();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(text);
            m_cv.notify_all();
        }
    });
}

EventRecorder::~EventRecorder()
{
    m_client.shutdown();
    m_thread.join();
}

std::vector<std::string> EventRecorder::waitFor(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_events.size() >= n; });
    return m_events;
}

std::vector<std::string> EventRecorder::events()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

Bytes hostReport(const Bytes& frame)
{
    Bytes report(65, 0xFF);
    report[0] = 0x00;
    std::copy(frame.begin(), frame.end(), report.begin() + 1);
    return report;
}

static Bytes escapeFrame(const Bytes& body)
{
    Bytes raw = body;
    uint16_t crc = appCrc16(body.data(), body.size());
    raw.push_back(uint8_t(crc));
    raw.push_back(uint8_t(crc >> 8));
    Bytes frame(1, 0x01);
    for (uint8_t b : raw) {
        if (b == 0x01 || b == 0x04 || b == 0x10)
            frame.push_back(0x10);
        frame.push_back(b);
    }
    frame.push_back(0x04);
    return frame;
}

Bytes commandFrame(uint8_t code)
{
    return escapeFrame(Bytes(1, code));
}

Bytes argumentFrame(uint8_t code, uint16_t a, uint32_t b)
{
    return escapeFrame(Bytes {
        code, uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8), uint8_t(b >> 16), uint8_t(b >> 24) });
}

std::optional<Bytes> frameBody(const Bytes& report)
{
    size_t i = 0;
    while (i < report.size() && report[i] != 0x01)
        ++i;
    Bytes raw;
    for (++i; i < report.size(); ++i) {
        if (report[i] == 0x10 && i + 1 < report.size()) {
            raw.push_back(report[++i]);
        } else if (report[i] == 0x04) {
            if (raw.size() < 3)
                return std::nullopt;
            uint16_t crc = uint16_t(raw[raw.size() - 2] | raw[raw.size() - 1] << 8);
            raw.resize(raw.size() - 2);
            if (appCrc16(raw.data(), raw.size()) != crc)
                return std::nullopt;
            return raw;
        } else {
            raw.push_back(report[i]);
        }
    }
    return std::nullopt;
}

std::string frameText(const Bytes& body)
{
    std::string text;
    for (size_t i = 1; i < body.size() && body[i] != 0; ++i)
        text.push_back(char(body[i]));
    return text;
}

Bytes commandReport(uint8_t tag, std::vector<uint32_t> params, uint8_t flags)
{
    Bytes report(36, 0);
    report[0] = 1;
    size_t length = 4 + 4 * params.size();
    report[2] = uint8_t(length);
    report[4] = tag;
    report[5] = flags;
    report[7] = uint8_t(params.size());
    for (size_t i = 0; i < params.size(); ++i)
        for (int b = 0; b < 4; ++b)
            report[8 + 4 * i + b] = uint8_t(params[i] >> (8 * b));
    return report;
}

Bytes dataReport(const uint8_t* data, size_t length)
{
    Bytes report(36, 0);
    report[0] = 2;
    report[2] = uint8_t(length);
    std::copy(data, data + length, report.begin() + 4);
    return report;
}

uint32_t Packet::word(size_t i) const
{
    size_t at = 4 + 4 * i;
    if (at + 4 > bytes.size())
        return 0xDEADBEEF;
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16
        | uint32_t(bytes[at + 3]) << 24;
}

std::optional<Packet> readPacket(Client& client, int handle, int timeoutMs)
{
    auto report = client.read(handle, timeoutMs, 36);
    if (!report || report->size() < 4)
        return std::nullopt;
    Packet packet;
    packet.reportId = (*report)[0];
    size_t length = size_t((*report)[2]) | size_t((*report)[3]) << 8;
    packet.bytes.assign(
        report->begin() + 4, report->begin() + 4 + std::min<size_t>(length, report->size() - 4));
    return packet;
}

void SimTest::startSim(devsim::DeviceConfig config)
{
    m_path = uniqueSocketPath();
    m_sim = std::make_unique<devsim::Simulator>(config);
    std::string error;
    ASSERT_TRUE(m_sim->start(m_path, &error)) << error;
}

void SimTest::TearDown()
{
    if (m_sim)
        m_sim->stop();
    m_sim.reset();
    platform::setPauseHook(nullptr);
}

std::optional<Bytes> SimTest::readDeviceInfo(Client& client, int handle)
{
    client.write(handle, hostReport(commandFrame(0x06)));
    auto report = client.read(handle);
    if (!report)
        return std::nullopt;
    return frameBody(*report);
}

} // namespace simtest
