#include "device_replies.h"

#include "devlink/frame_codec.h"
#include "state/app_callbacks.h"

#include <mutex>

namespace testsupport {

Bytes frameReport(const Bytes& body)
{
    Bytes report(kInputReportSize, 0);
    const size_t length = encodeFrame(body.data(), body.size(), report.data(), report.size());
    if (length == 0)
        report.assign(kInputReportSize, 0xEE); // does not fit one report: a test's own mistake
    return report;
}

Bytes deviceInfoReport(uint8_t rawId, uint8_t major, uint8_t minor)
{
    return frameReport({0x06, rawId, major, minor, 0x11, 0x22});
}

Bytes textReport(const std::string& text)
{
    Bytes body(text.size() + 2, 0);
    body[0] = kTextMessageCode;
    for (size_t i = 0; i < text.size(); ++i)
        body[i + 1] = uint8_t(text[i]);
    return frameReport(body);
}

Bytes rawTextReport(const std::string& text)
{
    Bytes report(kInputReportSize, 0);
    for (size_t i = 0; i < text.size() && i < report.size(); ++i)
        report[i] = uint8_t(text[i]);
    return report;
}

namespace {
std::mutex g_mutex;
std::string g_log;
LogFn g_previousLog = nullptr;
std::vector<StatusRecord> g_status;
StatusFn g_previousStatus = nullptr;

void captureLog(const char* text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log += text;
}

void captureStatus(int isComplete, const char* message, const char* detail)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status.push_back({isComplete, message ? message : "<none>", detail ? detail : "<none>"});
}
} // namespace

LogCapture::LogCapture()
{
    g_previousLog = appCallbacks.log.exchange(captureLog);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.clear();
}

LogCapture::~LogCapture() { appCallbacks.log.store(g_previousLog); }

std::string LogCapture::text() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_log;
}

size_t LogCapture::count(const std::string& part) const
{
    const std::string all = text();
    size_t n = 0;
    for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1))
        ++n;
    return n;
}

StatusCapture::StatusCapture()
{
    g_previousStatus = appCallbacks.status.exchange(captureStatus);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status.clear();
}

StatusCapture::~StatusCapture() { appCallbacks.status.store(g_previousStatus); }

std::vector<StatusRecord> StatusCapture::calls() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_status;
}

bool StatusCapture::hasMessage(const std::string& message) const
{
    for (const auto& call : calls())
        if (call.message == message)
            return true;
    return false;
}

bool StatusCapture::hasDetail(const std::string& detail) const
{
    for (const auto& call : calls())
        if (call.detail == detail)
            return true;
    return false;
}

} // namespace testsupport
