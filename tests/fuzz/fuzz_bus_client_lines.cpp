// The client side of the bus: any line as an answer or an event, through the parser and every
// reader the backends use. None may throw or accept data longer than asked for.
#include "platform/vbus/responses.h"
#include "platform/vbus/wire.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    Json::Value message;
    if (!platform::vbus::parseLine(line, message))
        return 0;
    using namespace platform::vbus;
    (void)isOk(message);
    (void)errorOf(message);
    std::vector<uint8_t> bytes;
    std::string error;
    if (readDataOf(message, 36, bytes, error) && bytes.size() > 36)
        std::abort();
    const int written = writtenOf(message, 65);
    if (written > 65)
        std::abort();
    Json::Int64 handle = 0;
    (void)handleOf(message, handle);
    std::vector<std::string> ids;
    (void)hardwareIdsOf(message, ids);
    std::vector<platform::VolumeInfo> volumes;
    (void)volumesOf(message, volumes);
    platform::DeviceEvent event;
    (void)eventOf(message, event);
    (void)toLine(message);
    return 0;
}
