// The bus connection's system calls on POSIX systems: a Unix-domain stream socket.

#include "platform/vbus/wire.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::vbus {

LineSocket::~LineSocket()
{
    close();
}

bool LineSocket::connect(const std::string& path, std::string* error)
{
    close();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        if (error)
            *error = "bus socket path is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (error)
            *error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_pending.clear();
    return true;
}

bool LineSocket::writeLine(const std::string& line)
{
    if (m_fd < 0)
        return false;
    std::string out = line;
    out.push_back('\n');
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(m_fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool LineSocket::readLine(std::string& line, size_t maxLength, int timeoutMs)
{
    m_failure = Failure::Closed;
    if (m_fd < 0)
        return false;
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        size_t end = m_pending.find('\n');
        if (end != std::string::npos && end <= maxLength) {
            line.assign(m_pending, 0, end);
            m_pending.erase(0, end + 1);
            m_failure = Failure::None;
            return true;
        }
        if (m_pending.size() > maxLength) {
            m_failure = Failure::TooLong;
            return false;
        }
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p { m_fd, POLLIN, 0 };
            const int ready = left.count() > 0 ? ::poll(&p, 1, int(left.count())) : ::poll(&p, 1, 0);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                m_failure = Failure::TimedOut;
                return false;
            }
        }
        char chunk[4096];
        ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        m_pending.append(chunk, size_t(n));
    }
}

void LineSocket::shutdown()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

void LineSocket::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
}

} // namespace platform::vbus
