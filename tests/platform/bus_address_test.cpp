// The bus's address forms as TARVEL_VBUS gives them: a socket path, or tcp:HOST:PORT[/TOKEN]
// on a loopback host, and every text that is neither.

#include "platform/vbus/bus_address.h"

#include <gtest/gtest.h>

using platform::vbus::BusAddress;
using platform::vbus::busAddressText;
using platform::vbus::describeBusAddress;
using platform::vbus::describeBusText;
using platform::vbus::parseBusAddress;
using platform::vbus::parseTcpEndpoint;

TEST(BusAddress, SocketPathsAreEveryTextThatDoesNotBeginWithTcp)
{
    for (const char* text : { "/tmp/bus.sock", "relative/bus.sock", "bus", "TCP:127.0.0.1:5", "tcp", "tc:1" }) {
        BusAddress address;
        std::string error;
        ASSERT_TRUE(parseBusAddress(text, address, error)) << text;
        EXPECT_EQ(address.kind, BusAddress::Kind::Unix) << text;
        EXPECT_EQ(address.path, text);
        EXPECT_EQ(busAddressText(address), text);
    }
}

TEST(BusAddress, TcpFormsWithAndWithoutToken)
{
    struct Case {
        const char* text;
        const char* host;
        uint16_t port;
        const char* token;
        const char* shown;
    };
    const Case cases[] = {
        { "tcp:127.0.0.1:4000", "127.0.0.1", 4000, "", "tcp:127.0.0.1:4000" },
        { "tcp:localhost:1", "localhost", 1, "", "tcp:localhost:1" },
        { "tcp:LocalHost:65535", "localhost", 65535, "", "tcp:localhost:65535" },
        { "tcp:[::1]:8080/abc", "::1", 8080, "abc", "tcp:[::1]:8080" },
        { "tcp:127.0.0.1:04000/3f9a/x=~!", "127.0.0.1", 4000, "3f9a/x=~!", "tcp:127.0.0.1:4000" },
    };
    for (const Case& c : cases) {
        BusAddress address;
        std::string error;
        ASSERT_TRUE(parseBusAddress(c.text, address, error)) << c.text << ": " << error;
        EXPECT_EQ(address.kind, BusAddress::Kind::Tcp) << c.text;
        EXPECT_EQ(address.host, c.host) << c.text;
        EXPECT_EQ(address.port, c.port) << c.text;
        EXPECT_EQ(address.token, c.token) << c.text;
        // Shown without the token; written back with it.
        EXPECT_EQ(describeBusAddress(address), c.shown) << c.text;
        EXPECT_EQ(describeBusText(c.text), c.shown) << c.text;
        BusAddress again;
        ASSERT_TRUE(parseBusAddress(busAddressText(address), again, error)) << busAddressText(address);
        EXPECT_EQ(again.host, address.host);
        EXPECT_EQ(again.port, address.port);
        EXPECT_EQ(again.token, address.token);
    }
}

TEST(BusAddress, EveryOtherTcpTextIsRefusedWithItsReasonAndWithoutTheToken)
{
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        { "", "the bus address is empty" },
        { "tcp:", "is not HOST:PORT" },
        { "tcp:127.0.0.1", "is not HOST:PORT" },
        { "tcp::4000", "is not HOST:PORT" },
        { "tcp:127.0.0.1:", "the bus port \"\" is not a number 1 to 65535" },
        { "tcp:127.0.0.1:0", "the bus port \"0\" is not a number 1 to 65535" },
        { "tcp:127.0.0.1:65536", "the bus port \"65536\" is not a number" },
        { "tcp:127.0.0.1:123456", "the bus port \"123456\" is not a number" },
        { "tcp:127.0.0.1:-1", "the bus port \"-1\"" },
        { "tcp:127.0.0.1:+80", "the bus port \"+80\"" },
        { "tcp:127.0.0.1: 80", "the bus port \" 80\"" },
        { "tcp:127.0.0.1:80x", "the bus port \"80x\"" },
        { "tcp:0.0.0.0:4000", "the bus host \"0.0.0.0\" is not a loopback address: it must be 127.0.0.1, localhost or [::1]" },
        { "tcp:10.0.0.1:4000", "the bus host \"10.0.0.1\" is not a loopback address" },
        { "tcp:192.168.1.2:4000/secret", "the bus host \"192.168.1.2\" is not a loopback address" },
        { "tcp:127.0.0.2:4000", "the bus host \"127.0.0.2\" is not a loopback address" },
        { "tcp:127.1:4000", "the bus host \"127.1\"" },
        { "tcp:::1:4000", "the bus host \"::1\"" },
        { "tcp:[::2]:4000", "the bus host \"[::2]\"" },
        { "tcp:localhost.example:4000", "the bus host \"localhost.example\"" },
        { "tcp:[::1]", "the bus host \"[:\"" },
        { "tcp:127.0.0.1:4000/", "the token after '/' must be 1 to 256 printable characters without spaces" },
        { "tcp:127.0.0.1:4000/two words", "the token after '/'" },
        { "tcp:127.0.0.1:4000/tab\there", "the token after '/'" },
    };
    for (const Case& c : cases) {
        BusAddress address;
        address.path = "untouched";
        std::string error;
        EXPECT_FALSE(parseBusAddress(c.text, address, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(address.path, "untouched") << c.text;
        EXPECT_EQ(error.find("secret"), std::string::npos) << error;
        EXPECT_EQ(describeBusText(c.text), "(refused address)") << c.text;
    }
    BusAddress address;
    std::string error;
    EXPECT_FALSE(parseBusAddress("tcp:127.0.0.1:80/" + std::string(257, 'a'), address, error));
    EXPECT_TRUE(parseBusAddress("tcp:127.0.0.1:80/" + std::string(256, 'a'), address, error)) << error;
}

TEST(BusAddress, AServerEndpointMayAskForPortZero)
{
    BusAddress address;
    std::string error;
    ASSERT_TRUE(parseTcpEndpoint("127.0.0.1:0", true, address, error)) << error;
    EXPECT_EQ(address.port, 0);
    EXPECT_TRUE(address.token.empty());
    EXPECT_FALSE(parseTcpEndpoint("127.0.0.1:0", false, address, error));
    EXPECT_FALSE(parseTcpEndpoint("0.0.0.0:0", true, address, error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos);
    EXPECT_FALSE(parseTcpEndpoint("127.0.0.1:0/token", true, address, error));
    ASSERT_TRUE(parseTcpEndpoint("[::1]:9", true, address, error)) << error;
    EXPECT_EQ(address.host, "::1");
}
