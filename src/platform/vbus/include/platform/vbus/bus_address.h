#pragma once
// Where a virtual USB bus is: the text of TARVEL_VBUS (or of an explicit selection) read into
// one of the bus's two forms. A Unix-domain socket is named by its path (any text that does
// not begin with "tcp:"); a TCP bus is "tcp:HOST:PORT" or "tcp:HOST:PORT/TOKEN" on the loopback
// interface only. Portable: no system call here.

#include <cstdint>
#include <string>

namespace platform::vbus {

struct BusAddress {
    enum class Kind { Unix, Tcp };
    Kind kind = Kind::Unix;
    std::string path; // Unix
    std::string host; // Tcp: "127.0.0.1", "localhost" or "::1" (written "[::1]")
    uint16_t port = 0; // Tcp; 0 only for a server that lets the system pick one
    std::string token; // empty: the server has none
};

// Reads a client's bus address. False with error (a sentence without a final stop) for an
// empty text, a "tcp:" text that is not HOST:PORT[/TOKEN], a host that is not one of the three
// loopback names, a port that is not 1 to 65535, or a token that is empty or holds anything
// but printable ASCII without spaces.
bool parseBusAddress(const std::string& text, BusAddress& address, std::string& error);

// Reads "HOST:PORT" (no "tcp:", no token) for a server; port 0 is taken when allowPortZero.
bool parseTcpEndpoint(const std::string& text, bool allowPortZero, BusAddress& address, std::string& error);

// A token the bus can carry in TARVEL_VBUS: 1 to 256 printable ASCII characters, no space.
bool validBusToken(const std::string& token);

// The client form with the token: what TARVEL_VBUS takes.
std::string busAddressText(const BusAddress& address);
// The same without the token, for messages and logs (the token is a secret of the run).
std::string describeBusAddress(const BusAddress& address);
// The same for an address text; "(refused address)" when it is not one.
std::string describeBusText(const std::string& address);

} // namespace platform::vbus
