#include "serial_face.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {

uint32_t le16(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

} // namespace

BusPalBridge::BusPalBridge(FramingTarget& target)
    : m_target(target)
{ }

void BusPalBridge::receive(const uint8_t* data, size_t length)
{
    m_input.insert(m_input.end(), data, data + length);
    while (!m_input.empty()) {
        const size_t used = parseOne();
        if (used == 0)
            break;
        m_input.erase(m_input.begin(), m_input.begin() + long(used));
    }
}

void BusPalBridge::reply(const char* text)
{
    m_output.insert(m_output.end(), text, text + std::strlen(text));
}

namespace {

using Mode = BusPalBridge::Mode;

// A command of one mode that the adapter takes with a number of value bytes after it and
// answers 0x01: its byte under a mask (the SPI configuration carries its settings in the low
// three bits) and the count of value bytes.
struct ValueCommand {
    Mode mode;
    uint8_t command;
    uint8_t mask;
    size_t valueBytes;
};

constexpr ValueCommand kValueCommands[] = {
    { Mode::BitBang, 0x0F, 0xFF, 0 }, // reset to bit-bang
    { Mode::BitBang, 0x40, 0xFF, 3 }, // GPIO configure: port, pin, mux
    { Mode::BitBang, 0x80, 0xFF, 3 }, // GPIO set: port, pin, level
    { Mode::BitBang, 0x20, 0xFF, 4 }, // FPGA clock
    { Mode::Spi, 0x60, 0xFF, 4 },     // speed
    { Mode::Spi, 0x80, 0xF8, 0 },     // polarity, phase, direction
    { Mode::I2c, 0x70, 0xFF, 1 },     // address
    { Mode::I2c, 0x60, 0xFF, 4 },     // speed
    { Mode::Can, 0x40, 0xFF, 4 },     // speed
    { Mode::Can, 0x30, 0xFF, 4 },     // transmit identifier
    { Mode::Can, 0x20, 0xFF, 4 },     // receive identifier
};

// From bit-bang mode into a bus mode: the command and the adapter's answer.
struct ModeEntry {
    uint8_t command;
    Mode mode;
    const char* answer;
};

constexpr ModeEntry kModeEntries[] = {
    { 0x01, Mode::Spi, "SPI1" },
    { 0x02, Mode::I2c, "I2C1" },
    { 0x07, Mode::Can, "CAN1" },
};

// Each bus mode's transfer command.
uint8_t transferCommand(Mode mode)
{
    return mode == Mode::Spi ? 0x04 : mode == Mode::I2c ? 0x08 : 0x03;
}

} // namespace

size_t BusPalBridge::withValue(size_t n)
{
    if (m_input.size() < 1 + n)
        return 0;
    replyByte(0x01);
    return 1 + n;
}

size_t BusPalBridge::parseOne()
{
    const uint8_t command = m_input[0];
    if (command == 0x00) {
        m_mode = Mode::BitBang; // from any mode
        reply("BBIO1");
        return 1;
    }
    if (m_mode == Mode::Off)
        return 1; // the adapter listens for nothing else until bit-bang mode
    if (m_mode == Mode::BitBang) {
        for (const ModeEntry& entry : kModeEntries) {
            if (entry.command == command) {
                m_mode = entry.mode;
                reply(entry.answer);
                return 1;
            }
        }
    } else if (command == transferCommand(m_mode)) {
        return transfer();
    }
    for (const ValueCommand& value : kValueCommands)
        if (value.mode == m_mode && (command & value.mask) == value.command)
            return withValue(value.valueBytes);
    replyByte(0x00);
    return 1;
}

size_t BusPalBridge::transfer()
{
    const size_t have = m_input.size();
    if (have < 5)
        return 0;
    const size_t writeLength = le16(&m_input[1]);
    const size_t readLength = le16(&m_input[3]);
    if (writeLength > 4096 || readLength > 4096) {
        replyByte(0x00);
        return 1;
    }
    if (have < 5 + writeLength)
        return 0;
    m_target.receive(m_input.data() + 5, writeLength);
    m_target.poll();
    replyByte(0x01);
    // The bus clocks out what the target has; an idle target reads as zeros.
    std::deque<uint8_t>& from = m_target.output();
    for (size_t i = 0; i < readLength; ++i) {
        if (from.empty()) {
            replyByte(0x00);
        } else {
            replyByte(from.front());
            from.pop_front();
        }
    }
    return 5 + writeLength;
}

SerialFace::SerialFace(Device& device, SerialFaceConfig config)
    : m_device(device)
    , m_config(std::move(config))
{ }

SerialFace::~SerialFace()
{
    stop();
}

bool SerialFace::start(std::string* error)
{
    auto fail = [&](const std::string& what) {
        if (error)
            *error = what + ": " + std::strerror(errno);
        stop();
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return fail("cannot open a pseudo-terminal");
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail("cannot unlock the pseudo-terminal");
    char name[128] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        return fail("cannot name the pseudo-terminal");
    m_slavePath = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return fail("cannot open " + m_slavePath);
    // Raw from the start: no echo, no line editing, before any host sets it.
    termios tio {};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    if (!m_config.linkPath.empty()) {
        struct stat st { };
        if (::lstat(m_config.linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                return fail("will not replace " + m_config.linkPath);
            }
            ::unlink(m_config.linkPath.c_str());
        }
        if (::symlink(m_slavePath.c_str(), m_config.linkPath.c_str()) != 0)
            return fail("cannot link " + m_config.linkPath);
        m_linked = true;
    }
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void SerialFace::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_linked)
        ::unlink(m_config.linkPath.c_str());
    m_linked = false;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

std::chrono::steady_clock::duration SerialFace::lineTime(size_t bytes) const
{
    if (m_config.baudRate <= 0)
        return {};
    // Ten bits a byte on the line (start, eight data, stop).
    return std::chrono::microseconds(int64_t(bytes) * 10'000'000 / m_config.baudRate);
}

void SerialFace::run()
{
    using Clock = std::chrono::steady_clock;
    // The line as a clock: what the device sends leaves only once the bytes it answers have
    // had their time on the line, and then at the line's pace. The device acts on the bytes
    // as they come and only its output is held back, so a packet and its acknowledgement cost
    // one wake-up instead of two (each wake-up late by the machine's scheduling).
    const bool paced = m_config.baudRate > 0;
    if (paced)
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // not the default 50 us late per sleep
    Clock::time_point lineFreeAt {};
    FramingTarget target(m_device);
    BusPalBridge bridge(target);
    std::deque<uint8_t>& out = m_config.busPal ? bridge.output() : target.output();
    uint8_t buffer[512];
    while (!m_stop) {
        pollfd p { m_master, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0 };
        if (::poll(&p, 1, 10) < 0 && errno != EINTR)
            break;
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                lineFreeAt = std::max(lineFreeAt, Clock::now() + lineTime(size_t(n)));
                if (m_config.busPal)
                    bridge.receive(buffer, size_t(n));
                else
                    target.receive(buffer, size_t(n));
            }
        }
        if (!m_config.busPal)
            target.poll();
        // A reply goes out back to back, as a UART clocks it: its pieces are paced to deadlines
        // counted from the reply's start, so a late wake-up is caught up by the next piece
        // instead of delaying every piece after it.
        if (paced && !out.empty())
            lineFreeAt = std::max(lineFreeAt, Clock::now());
        while (!out.empty()) {
            size_t n = 0;
            // A paced line goes out in small pieces, so a reply never waits for a whole block.
            const size_t limit = paced ? 16 : sizeof buffer;
            for (; n < limit && !out.empty(); ++n) {
                buffer[n] = out.front();
                out.pop_front();
            }
            if (paced) {
                lineFreeAt += lineTime(n);
                std::this_thread::sleep_until(lineFreeAt);
            }
            const ssize_t written = ::write(m_master, buffer, n);
            const size_t done = written > 0 ? size_t(written) : 0;
            if (done < n) {
                // The host is not reading: keep the rest for later, and its line time.
                out.insert(out.begin(), buffer + done, buffer + n);
                if (paced)
                    lineFreeAt -= lineTime(n - done);
                break;
            }
        }
    }
}

} // namespace devsim
