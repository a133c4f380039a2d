// The property texts: a get-property answer of any shape for any property. The one outcome
// allowed besides a text is the documented std::out_of_range for an answer too short.
#include "blfwk/logger.h"
#include "blfwk/property_commands.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace {
struct Quiet : blfwk::Logger {
    void output(const char*) override { }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Quiet logger;
    blfwk::Log::setLogger(&logger);
    logger.setFilterLevel(blfwk::Logger::Trace);
    if (size < 1)
        return 0;
    const blfwk::property_t property = blfwk::propertyByValue(data[0]);
    blfwk::GetProperty command(property, 0);
    // The rest is the response packet exactly as a device could send it.
    std::vector<uint8_t> packet(data + 1, data + size);
    const blfwk::ResponsePacket response { packet.empty() ? nullptr : packet.data(),
        uint32_t(packet.size()) };
    try {
        command.processGetPropertyResponse(response);
    } catch (const std::out_of_range&) { }
    (void)command.responseText().size();
    (void)command.responseJson();
    return 0;
}
