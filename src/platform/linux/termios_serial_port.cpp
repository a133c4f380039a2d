// The Linux serial port: termios, raw 8N1 without flow control, held exclusively with
// TIOCEXCL (which root may pass) and an flock (which holds between cooperating programs
// whatever their rights).

#include "platform/native.h"
#include "platform/serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

speed_t speedConstant(int baudRate)
{
    switch (baudRate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    default:
        return B0;
    }
}

class TermiosPort : public SerialPort {
public:
    explicit TermiosPort(int fd)
        : m_fd(fd)
    { }
    ~TermiosPort() override
    {
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd); // also drops the flock
    }
    TermiosPort(const TermiosPort&) = delete;
    TermiosPort& operator=(const TermiosPort&) = delete;

    int read(uint8_t* buffer, size_t length, int totalMs, int intervalMs) override
    {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto lastByte = start;
        size_t count = 0;
        while (count < length) {
            const auto now = Clock::now();
            auto ms = [](Clock::duration d) {
                return int(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
            };
            int wait = totalMs - ms(now - start);
            if (count > 0 && intervalMs - ms(now - lastByte) < wait)
                wait = intervalMs - ms(now - lastByte);
            if (wait < 0)
                wait = 0;
            pollfd p { m_fd, POLLIN, 0 };
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return count ? int(count) : -1;
            }
            if (ready == 0) {
                if (wait == 0)
                    break;
                continue; // the loop re-checks both limits
            }
            const ssize_t n = ::read(m_fd, buffer + count, length - count);
            if (n > 0) {
                count += size_t(n);
                lastByte = Clock::now();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The other end hung up or the device went away.
                return count ? int(count) : -1;
            } else if (p.revents & (POLLHUP | POLLERR)) {
                return count ? int(count) : -1;
            }
        }
        return int(count);
    }

    int write(const uint8_t* data, size_t length) override
    {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(m_fd, data + done, length - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                // Output buffer full: wait for room, but not forever.
                pollfd p { m_fd, POLLOUT, 0 };
                if (::poll(&p, 1, 2000) > 0 && !(p.revents & (POLLERR | POLLHUP)))
                    continue;
            }
            return -1;
        }
        ::tcdrain(m_fd);
        return int(done);
    }

private:
    int m_fd;
};

std::unique_ptr<SerialPort> openTermios(const std::string& name, int baudRate, std::string* error)
{
    auto fail = [&](const char* what) -> std::unique_ptr<SerialPort> {
        if (error)
            *error = name + ": " + what;
        return nullptr;
    };
    if (name.empty())
        return fail("no port name");
    const std::string path = name[0] == '/' ? name : "/dev/" + name;
    // Non-blocking so that a modem line without carrier cannot hold the open; reads wait in poll.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(std::strerror(errno));
    if (!::isatty(fd)) {
        ::close(fd);
        return fail("not a serial port");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail("in use by another program");
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno == EBUSY) {
        ::close(fd);
        return fail("in use by another program");
    }

    // Line settings the device refuses leave the port usable.
    termios tio {};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS | CSIZE);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (const speed_t speed = speedConstant(baudRate); speed != B0)
            ::cfsetspeed(&tio, speed);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return std::make_unique<TermiosPort>(fd);
}

} // namespace

std::unique_ptr<SerialPort> native::openSerialPort(const std::string& name, int baudRate, std::string* error)
{
    return openTermios(name, baudRate, error);
}

} // namespace platform
