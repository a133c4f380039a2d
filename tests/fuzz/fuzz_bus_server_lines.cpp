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
    // One handle on the application face stays open for reads and writes to name; whatever
    // else an input opened is closed after it, and the reports it caused are drained, so that
    // one input leaves nothing behind for the next.
    static int kept = [] {
        const int handle = device->openHandle(0x2B29, 0x55);
        connection.handles.insert(handle);
        return handle;
    }();

    const std::string line(reinterpret_cast<const char*>(data), size);
    Json::Value request;
    if (!platform::vbus::parseLine(line, request))
        return 0;
    const Json::Value& op = request["op"];
    if (op.isString() && op.asString() == "subscribe")
        return 0;
    if (request.isMember("timeout_ms") || (op.isString() && op.asString() == "sim.idle"))
        request["timeout_ms"] = 0;
    Json::Value response;
    server.handleRequest(connection, request, response);
    if (!response.isObject() || !response["ok"].isBool())
        std::abort();
    (void)platform::vbus::toLine(response);
    for (auto it = connection.handles.begin(); it != connection.handles.end();) {
        if (*it == kept) {
            ++it;
            continue;
        }
        device->closeHandle(*it);
        it = connection.handles.erase(it);
    }
    device->clearFaults(); // injected faults would pile up from input to input
    devsim::Bytes report;
    std::string error;
    while (device->read(kept, 64, 0, report, error, {}) && !report.empty()) { }
    if (error == "device disconnected" || error == "bad handle") {
        // The device left (sim.unplug, a restart): take a handle on whatever it shows now.
        device->closeHandle(kept);
        connection.handles.erase(kept);
        std::vector<devsim::UsbEntry> usb;
        device->listUsb(usb);
        if (!usb.empty() && (kept = device->openHandle(usb[0].vid, usb[0].pid)) > 0)
            connection.handles.insert(kept);
    }
    return 0;
}
