// The termios serial port against a pseudo-terminal: names, exclusive open, the two read
// limits, a peer that hangs up.
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Pty : ::testing::Test {
    int master = -1;
    std::string slave;
    void SetUp() override
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        char name[128] = {};
        ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
        slave = name;
    }
    void TearDown() override
    {
        if (master >= 0)
            ::close(master);
    }
};

TEST_F(Pty, OpensRawAndExclusivelyAndFindsShortNamesUnderDev)
{
    std::string error;
    auto port = platform::openSerialPort(slave, 115200, &error);
    ASSERT_TRUE(port) << error;

    // A second program (or a second open here) finds it busy, whoever it runs as.
    auto second = platform::openSerialPort(slave, 115200, &error);
    EXPECT_FALSE(second);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    // Raw 8N1: bytes pass untouched both ways, no echo.
    const uint8_t out[4] = { 0x5A, 0x0A, 0x0D, 0x03 };
    EXPECT_EQ(port->write(out, 4), 4);
    uint8_t seen[8] = {};
    EXPECT_EQ(::read(master, seen, sizeof seen), 4);
    EXPECT_EQ(std::memcmp(seen, out, 4), 0);
    ASSERT_EQ(::write(master, out, 4), 4);
    uint8_t in[4] = {};
    EXPECT_EQ(port->read(in, 4, 100, 1000), 4);
    EXPECT_EQ(std::memcmp(in, out, 4), 0);

    port.reset(); // released: it can be opened again, by its name under /dev/
    ASSERT_EQ(slave.rfind("/dev/", 0), 0u);
    auto byShortName = platform::openSerialPort(slave.substr(5), 9600, &error);
    EXPECT_TRUE(byShortName) << error;
}

TEST_F(Pty, ReadsStopAtTheTotalAndTheIntervalLimit)
{
    auto port = platform::openSerialPort(slave, 115200);
    ASSERT_TRUE(port);
    uint8_t buffer[16] = {};

    auto start = Clock::now();
    EXPECT_EQ(port->read(buffer, 1, 20, 1000), 0);
    EXPECT_GE(msSince(start), 19.0);
    EXPECT_LT(msSince(start), 200.0);

    start = Clock::now();
    EXPECT_EQ(port->read(buffer, 16, 0, 0), 0); // takes only what is there
    EXPECT_LT(msSince(start), 50.0);

    // Two bytes, then nothing: the interval limit ends the read long before the total.
    ASSERT_EQ(::write(master, "ab", 2), 2);
    start = Clock::now();
    EXPECT_EQ(port->read(buffer, 16, 5000, 100), 2);
    EXPECT_LT(msSince(start), 1000.0);

    // The other end hangs up: a failure, at once.
    ::close(master);
    master = -1;
    start = Clock::now();
    EXPECT_EQ(port->read(buffer, 4, 2000, 1000), -1);
    EXPECT_LT(msSince(start), 500.0);
}

TEST(SerialPort, MissingOrNonSerialPortsAreRefusedWithAReason)
{
    std::string error;
    char dir[] = "/tmp/serial-port-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string missing = std::string(dir) + "/ttyNONE";
    EXPECT_FALSE(platform::openSerialPort(missing, 115200, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    const std::string plain = std::string(dir) + "/file";
    {
        FILE* f = std::fopen(plain.c_str(), "w");
        ASSERT_TRUE(f);
        std::fclose(f);
    }
    EXPECT_FALSE(platform::openSerialPort(plain, 115200, &error));
    EXPECT_NE(error.find("not a serial port"), std::string::npos) << error;
    EXPECT_FALSE(platform::openSerialPort("", 115200, &error));
    ::unlink(plain.c_str());
    ::rmdir(dir);
}

} // namespace
