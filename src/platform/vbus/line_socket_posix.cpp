// The bus's sockets on a POSIX system: Unix-domain and loopback TCP streams, both ends. Every
// system call of the bus is in this file; a platform with other sockets has a file of its own
// in its place (chosen in CMakeLists.txt).

#include "platform/vbus/wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::vbus {
namespace {

int fdOf(SocketHandle handle)
{
    return int(handle);
}

std::string systemError(int code)
{
    return std::strerror(code);
}

bool unixAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = sockaddr_un {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        error = "bus socket path is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The loopback addresses a host name stands for, in the order they are tried.
struct Loopback {
    int family;
    sockaddr_storage address;
    socklen_t length;
};

int loopbacks(const BusAddress& bus, Loopback (&out)[2])
{
    int count = 0;
    auto v4 = [&] {
        Loopback& l = out[count++];
        l = Loopback {};
        auto* a = reinterpret_cast<sockaddr_in*>(&l.address);
        a->sin_family = AF_INET;
        a->sin_port = htons(bus.port);
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        l.family = AF_INET;
        l.length = sizeof(sockaddr_in);
    };
    auto v6 = [&] {
        Loopback& l = out[count++];
        l = Loopback {};
        auto* a = reinterpret_cast<sockaddr_in6*>(&l.address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(bus.port);
        a->sin6_addr = in6addr_loopback;
        l.family = AF_INET6;
        l.length = sizeof(sockaddr_in6);
    };
    if (bus.host == "::1") {
        v6();
    } else {
        v4();
        if (bus.host == "localhost")
            v6();
    }
    return count;
}

int connectedUnix(const std::string& path, std::string& error)
{
    sockaddr_un address;
    if (!unixAddress(path, address, error))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = systemError(errno);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        error = systemError(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectedTcp(const BusAddress& bus, std::string& error)
{
    if (bus.host != "127.0.0.1" && bus.host != "localhost" && bus.host != "::1") {
        error = "the bus host must be a loopback address";
        return -1;
    }
    Loopback candidates[2];
    const int count = loopbacks(bus, candidates);
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(candidates[i].family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = systemError(errno);
            continue;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&candidates[i].address), candidates[i].length) == 0) {
            // One small line per request: send each at once.
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        error = systemError(errno);
        ::close(fd);
    }
    return -1;
}

// What is at a socket path before a server takes it: nothing, a stale socket (removed here),
// or something that must not be touched (refused with error).
bool clearSocketPath(const std::string& path, const sockaddr_un& address, std::string& error)
{
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot use socket path " + path + ": " + systemError(errno);
        return false;
    }
    if (!S_ISSOCK(info.st_mode)) {
        error = path + " exists and is not a socket; refusing to replace it";
        return false;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        error = systemError(errno);
        return false;
    }
    const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int connectError = errno;
    ::close(probe);
    if (connected == 0) {
        error = "a bus server is already listening on " + path;
        return false;
    }
    if (connectError != ECONNREFUSED) {
        error = "cannot use socket path " + path + ": " + systemError(connectError);
        return false;
    }
    // Nobody listens: a socket left behind by a server that ended without removing it.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the stale socket " + path + ": " + systemError(errno);
        return false;
    }
    return true;
}

} // namespace

bool unixSocketsAvailable()
{
    return true;
}

// ---- LineSocket

LineSocket::~LineSocket()
{
    close();
}

bool LineSocket::connect(const BusAddress& address, std::string* error)
{
    close();
    std::string why;
    const int fd = address.kind == BusAddress::Kind::Unix ? connectedUnix(address.path, why)
                                                          : connectedTcp(address, why);
    if (fd < 0) {
        if (error)
            *error = why;
        return false;
    }
    m_handle = fd;
    m_pending.clear();
    m_receiveLimitMs = -1;
    return true;
}

bool LineSocket::writeLine(const std::string& line)
{
    if (m_handle == kNoSocket)
        return false;
    std::string out = line;
    out.push_back('\n');
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(fdOf(m_handle), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
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
    if (m_handle == kNoSocket)
        return false;
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    bool first = true;
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
        // A request's answer is one receive that waits through the socket's own time limit:
        // a poll before each receive would double the system calls of every round trip.
        // The limit is set again only when it changes (a line that came in parts).
        int flags = 0;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            const int wait = first ? timeoutMs : int(left > 0 ? left : 0);
            if (wait == 0)
                flags = MSG_DONTWAIT;
            else if (!setReceiveLimit(wait))
                return false;
        } else if (!setReceiveLimit(-1)) {
            return false;
        }
        first = false;
        char chunk[4096];
        ssize_t n = ::recv(fdOf(m_handle), chunk, sizeof(chunk), flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeoutMs >= 0) {
            m_failure = Failure::TimedOut;
            return false;
        }
        if (n <= 0)
            return false;
        m_pending.append(chunk, size_t(n));
    }
}

bool LineSocket::setReceiveLimit(int timeoutMs)
{
    if (timeoutMs == m_receiveLimitMs)
        return true;
    timeval limit {}; // zero: no limit
    if (timeoutMs > 0) {
        limit.tv_sec = timeoutMs / 1000;
        limit.tv_usec = (timeoutMs % 1000) * 1000;
    }
    if (::setsockopt(fdOf(m_handle), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
        return false;
    m_receiveLimitMs = timeoutMs;
    return true;
}

bool LineSocket::hasUnreadInput()
{
    if (!m_pending.empty())
        return true;
    if (m_handle == kNoSocket)
        return false;
    char byte;
    // An end of stream is no unread input: the next request finds the connection lost.
    return ::recv(fdOf(m_handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool LineSocket::peerHungUp() const
{
    if (m_handle == kNoSocket)
        return true;
    pollfd p { fdOf(m_handle), POLLRDHUP, 0 };
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void LineSocket::shutdown()
{
    if (m_handle != kNoSocket)
        ::shutdown(fdOf(m_handle), SHUT_RDWR);
}

void LineSocket::close()
{
    if (m_handle != kNoSocket)
        ::close(fdOf(m_handle));
    m_handle = kNoSocket;
    m_pending.clear();
    m_receiveLimitMs = -1;
}

// ---- LineListener

bool LineListener::listen(const BusAddress& address, std::string& error)
{
    close();
    int fd = -1;
    if (address.kind == BusAddress::Kind::Unix) {
        sockaddr_un unixAddr;
        if (!unixAddress(address.path, unixAddr, error) || !clearSocketPath(address.path, unixAddr, error))
            return false;
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = systemError(errno);
            return false;
        }
        // bind() never replaces a file: one that appeared since the check makes it fail.
        if (::bind(fd, reinterpret_cast<sockaddr*>(&unixAddr), sizeof(unixAddr)) != 0 || ::listen(fd, 16) != 0) {
            error = "cannot listen on " + address.path + ": " + systemError(errno);
            ::close(fd);
            return false;
        }
        struct stat info { };
        if (::stat(address.path.c_str(), &info) == 0) {
            m_fileDevice = uint64_t(info.st_dev);
            m_fileInode = uint64_t(info.st_ino);
        }
        m_path = address.path;
    } else {
        if (address.host != "127.0.0.1" && address.host != "localhost" && address.host != "::1") {
            error = "a bus server listens on a loopback address only";
            return false;
        }
        // A server takes one address: "localhost" is 127.0.0.1.
        Loopback candidates[2];
        loopbacks(address, candidates);
        const Loopback& at = candidates[0];
        fd = ::socket(at.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = systemError(errno);
            return false;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (at.family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at.address), at.length) != 0 || ::listen(fd, 16) != 0) {
            error = "cannot listen on " + describeBusAddress(address) + ": " + systemError(errno);
            ::close(fd);
            return false;
        }
        sockaddr_storage bound {};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            error = systemError(errno);
            ::close(fd);
            return false;
        }
        m_port = ntohs(at.family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    m_handle = fd;
    return true;
}

SocketHandle LineListener::accept(int timeoutMs)
{
    if (m_handle == kNoSocket)
        return kNoSocket;
    pollfd p { fdOf(m_handle), POLLIN, 0 };
    if (::poll(&p, 1, timeoutMs) <= 0)
        return kNoSocket;
    const int fd = ::accept4(fdOf(m_handle), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return kNoSocket;
    if (m_path.empty()) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

void LineListener::close()
{
    if (m_handle == kNoSocket)
        return;
    ::close(fdOf(m_handle));
    m_handle = kNoSocket;
    if (!m_path.empty()) {
        struct stat info { };
        if (::lstat(m_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && uint64_t(info.st_dev) == m_fileDevice
            && uint64_t(info.st_ino) == m_fileInode)
            ::unlink(m_path.c_str());
    }
    m_path.clear();
    m_port = 0;
}

} // namespace platform::vbus
