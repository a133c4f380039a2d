#include "scripted_hid.h"

#include <algorithm>
#include <cstring>

namespace testsupport {
namespace {
// Any non-null address serves as the handle; the script has one device.
platform::HidDevice* const kHandle = reinterpret_cast<platform::HidDevice*>(0x1);
} // namespace

ScriptedHid::ScriptedHid() { platform::setHidService(this); }
ScriptedHid::~ScriptedHid() { platform::setHidService(nullptr); }

void ScriptedHid::queueReport(Bytes bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.push_back({Input::Report, std::move(bytes)});
}

void ScriptedHid::queueSilence(int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < count; ++i)
        m_inputs.push_back({Input::Silence, {}});
}

void ScriptedHid::queueFailure()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.push_back({Input::Failure, {}});
}

size_t ScriptedHid::pendingInputs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inputs.size();
}

platform::HidDevice* ScriptedHid::open(uint16_t vendorId, uint16_t productId)
{
    ++opens;
    openedVendor = vendorId;
    openedProduct = productId;
    return openSucceeds ? kHandle : nullptr;
}

int ScriptedHid::read(platform::HidDevice*, uint8_t* buffer, size_t length, int timeoutMs)
{
    ++reads;
    readTimeouts.push_back(timeoutMs);
    Input input;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_inputs.empty())
            return 0; // an exhausted script is a silent device
        input = std::move(m_inputs.front());
        m_inputs.pop_front();
    }
    if (input.kind == Input::Silence)
        return 0;
    if (input.kind == Input::Failure)
        return -1;
    const size_t n = std::min(length, input.bytes.size());
    std::memcpy(buffer, input.bytes.data(), n);
    return int(n);
}

int ScriptedHid::write(platform::HidDevice*, const uint8_t* data, size_t length, int timeoutMs)
{
    writeTimeouts.push_back(timeoutMs);
    Bytes written(data, data + length);
    writes.push_back(written);
    if (onWrite)
        onWrite(written);
    const int result = writeResult == -2 ? int(length) : writeResult;
    m_lastWriteFailed = result < 0;
    return result;
}

std::wstring ScriptedHid::lastError(platform::HidDevice*) { return m_lastWriteFailed ? errorText : std::wstring(); }

void ScriptedHid::close(platform::HidDevice*) { ++closes; }

void ScriptedHid::shutdown() { ++shutdowns; }

} // namespace testsupport
