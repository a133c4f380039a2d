// The simulator's side of the bus: any line as a request. It is parsed as the server parses
// it and, when it is a JSON object, answered; the answer must always carry "ok". Requests
// that would wait (a read with a time limit, sim.idle) are made not to, and subscribe is left
// out, so that one input is one quick exchange.
#include "bus_server.h"
#include "simulator.h"

#include "platform/clock.h"
#include "platform/vbus/wire.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static devsim::Device* device = [] {
        platform::setPauseHook([](platform::Milliseconds) {});
        devsim::DeviceConfig config;
        auto* d = new devsim::Device(config);
        std::string error;
        if (!d->init(error))
            std::abort();
        return d;
    }();
    static devsim::BusServer server(*device);
    static devsim::BusServer::Connection connection(-1);

    const std::string line(reinterpret_cast<const char*>(data), size);
    Json::Value request;
    if (!platform::vbus::parseLine(line, request))
        return 0;
    const Json::Value& op = request["op"];
    if (op.isString() && op.asString() == "subscribe")
        return 0;
    if (request.isMember("timeout_ms"))
        request["timeout_ms"] = 0;
    Json::Value response;
    server.handleRequest(connection, request, response);
    if (!response.isObject() || !response["ok"].isBool())
        std::abort();
    (void)platform::vbus::toLine(response);
    return 0;
}
