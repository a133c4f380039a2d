#include "platform/vbus/bus_address.h"

#include <cctype>

namespace platform::vbus {
namespace {

constexpr char kTcpPrefix[] = "tcp:";
constexpr size_t kMaxTokenLength = 256;

bool lowerCaseEquals(const std::string& text, const char* name)
{
    size_t i = 0;
    for (; name[i]; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != name[i])
            return false;
    return i == text.size();
}

// The loopback names the bus accepts; nothing is looked up, so no resolver can send the
// connection off this machine.
bool loopbackHost(const std::string& text, std::string& host)
{
    if (text == "127.0.0.1" || lowerCaseEquals(text, "localhost")) {
        host = text == "127.0.0.1" ? "127.0.0.1" : "localhost";
        return true;
    }
    if (text == "[::1]") {
        host = "::1";
        return true;
    }
    return false;
}

bool portNumber(const std::string& text, bool allowZero, uint16_t& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + unsigned(c - '0');
    }
    if (value > 65535 || (value == 0 && !allowZero))
        return false;
    port = uint16_t(value);
    return true;
}

// A tcp: text as it may be shown: without its token.
std::string describeText(const std::string& text)
{
    const size_t slash = text.find('/');
    return slash == std::string::npos ? text : text.substr(0, slash) + "/...";
}

} // namespace

bool validBusToken(const std::string& token)
{
    if (token.empty() || token.size() > kMaxTokenLength)
        return false;
    for (char c : token)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool parseTcpEndpoint(const std::string& text, bool allowPortZero, BusAddress& address, std::string& error)
{
    // The port follows the last colon: "[::1]" holds colons of its own.
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        error = "\"" + text + "\" is not HOST:PORT";
        return false;
    }
    std::string host;
    if (!loopbackHost(text.substr(0, colon), host)) {
        error = "the bus host \"" + text.substr(0, colon)
            + "\" is not a loopback address: it must be 127.0.0.1, localhost or [::1]";
        return false;
    }
    uint16_t port = 0;
    if (!portNumber(text.substr(colon + 1), allowPortZero, port)) {
        error = "the bus port \"" + text.substr(colon + 1) + "\" is not a number "
            + (allowPortZero ? "0" : "1") + " to 65535";
        return false;
    }
    address = BusAddress {};
    address.kind = BusAddress::Kind::Tcp;
    address.host = host;
    address.port = port;
    return true;
}

bool parseBusAddress(const std::string& text, BusAddress& address, std::string& error)
{
    if (text.empty()) {
        error = "the bus address is empty";
        return false;
    }
    if (text.rfind(kTcpPrefix, 0) != 0) {
        address = BusAddress {};
        address.path = text;
        return true;
    }
    const std::string rest = text.substr(sizeof kTcpPrefix - 1);
    // The token is all after the first '/' (a host and port never hold one).
    const size_t slash = rest.find('/');
    BusAddress parsed;
    if (!parseTcpEndpoint(rest.substr(0, slash), false, parsed, error)) {
        error = "\"" + describeText(text) + "\" is not a bus address: " + error;
        return false;
    }
    if (slash != std::string::npos) {
        parsed.token = rest.substr(slash + 1);
        if (!validBusToken(parsed.token)) {
            error = "\"" + describeText(text) + "\" is not a bus address: the token after '/' must be 1 to "
                + std::to_string(kMaxTokenLength) + " printable characters without spaces";
            return false;
        }
    }
    address = parsed;
    return true;
}

std::string describeBusAddress(const BusAddress& address)
{
    if (address.kind == BusAddress::Kind::Unix)
        return address.path;
    const std::string host = address.host == "::1" ? "[::1]" : address.host;
    return std::string(kTcpPrefix) + host + ":" + std::to_string(address.port);
}

std::string describeBusText(const std::string& address)
{
    BusAddress parsed;
    std::string error;
    return parseBusAddress(address, parsed, error) ? describeBusAddress(parsed) : std::string("(refused address)");
}

std::string busAddressText(const BusAddress& address)
{
    const std::string text = describeBusAddress(address);
    return address.kind == BusAddress::Kind::Tcp && !address.token.empty() ? text + "/" + address.token : text;
}

} // namespace platform::vbus
