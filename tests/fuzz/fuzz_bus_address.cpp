// TARVEL_VBUS as any text: the address parser never accepts a TCP host off the loopback
// interface or a port outside 1 to 65535, what it accepts reads back the same, and what it shows
// never carries the token.
#include "platform/vbus/bus_address.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace platform::vbus;
    const std::string text(reinterpret_cast<const char*>(data), size);
    BusAddress address;
    std::string error;
    if (!parseBusAddress(text, address, error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    if (address.kind == BusAddress::Kind::Unix) {
        if (address.path != text || busAddressText(address) != text)
            std::abort();
        return 0;
    }
    if (address.host != "127.0.0.1" && address.host != "localhost" && address.host != "::1")
        std::abort();
    if (address.port == 0 || (!address.token.empty() && !validBusToken(address.token)))
        std::abort();
    if (describeBusAddress(address).find('/') != std::string::npos)
        std::abort();
    BusAddress again;
    if (!parseBusAddress(busAddressText(address), again, error) || again.host != address.host
        || again.port != address.port || again.token != address.token)
        std::abort();
    BusAddress endpoint;
    (void)parseTcpEndpoint(text, true, endpoint, error);
    return 0;
}
