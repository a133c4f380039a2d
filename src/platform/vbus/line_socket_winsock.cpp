// The bus's sockets under Winsock: loopback TCP streams, both ends. Windows before 1803 and Wine
// have no Unix-domain sockets, so a socket path is refused with the TCP form to use instead.
// Every Winsock call of the bus is in this file (line_socket_posix.cpp is its POSIX twin).

#include "platform/vbus/wire.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>

namespace platform::vbus {
namespace {

SOCKET socketOf(SocketHandle handle)
{
    return SOCKET(handle);
}

SocketHandle handleOf(SOCKET socket)
{
    return socket == INVALID_SOCKET ? kNoSocket : SocketHandle(socket);
}

// Winsock is started once for the process and left running until it ends.
bool winsockStarted(std::string& error)
{
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result != 0) {
        error = "Winsock did not start (error " + std::to_string(result) + ")";
        return false;
    }
    return true;
}

std::string systemError(int code)
{
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code),
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        --n;
    std::string message(text, n);
    if (message.empty())
        message = "Winsock error";
    return message + " (" + std::to_string(code) + ")";
}

bool isLoopbackHost(const std::string& host)
{
    return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

struct Loopback {
    int family;
    sockaddr_storage address;
    int length;
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

void noDelay(SOCKET s)
{
    // One small line per request: send each at once.
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

SOCKET connectedTcp(const BusAddress& bus, std::string& error)
{
    if (!isLoopbackHost(bus.host)) {
        error = "the bus host must be a loopback address";
        return INVALID_SOCKET;
    }
    Loopback candidates[2];
    const int count = loopbacks(bus, candidates);
    for (int i = 0; i < count; ++i) {
        SOCKET s = ::WSASocketW(candidates[i].family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            error = systemError(WSAGetLastError());
            continue;
        }
        if (::connect(s, reinterpret_cast<const sockaddr*>(&candidates[i].address), candidates[i].length) == 0) {
            noDelay(s);
            return s;
        }
        error = systemError(WSAGetLastError());
        ::closesocket(s);
    }
    return INVALID_SOCKET;
}

// How often a blocked read looks whether the connection was shut down meanwhile.
constexpr int kWakeSliceMs = 50;

const char kNoUnixSockets[] = "this system has no Unix-domain sockets: give the bus as tcp:127.0.0.1:PORT[/TOKEN]";

} // namespace

bool unixSocketsAvailable()
{
    return false;
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
    SOCKET s = INVALID_SOCKET;
    if (address.kind == BusAddress::Kind::Unix)
        why = kNoUnixSockets;
    else if (winsockStarted(why))
        s = connectedTcp(address, why);
    if (s == INVALID_SOCKET) {
        if (error)
            *error = why;
        return false;
    }
    m_handle = handleOf(s);
    m_pending.clear();
    m_shutDown = false;
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
        const size_t left = out.size() - sent;
        const int chunk = left > 0x40000000u ? 0x40000000 : int(left);
        const int n = ::send(socketOf(m_handle), out.data() + sent, chunk, 0);
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
        // One overlapped receive, waited for in slices: a poll before each receive costs
        // several times the round trip under Wine, which also ignores a blocking receive's
        // time limit; and a shutdown from another thread does not wake a blocked receive, so
        // the loop looks between slices. What a cancelled receive got still counts.
        char chunk[4096];
        DWORD n = 0;
        if (!m_readEvent)
            m_readEvent = ::WSACreateEvent();
        if (m_readEvent == WSA_INVALID_EVENT) {
            m_readEvent = nullptr;
            return false;
        }
        WSAOVERLAPPED overlapped {};
        overlapped.hEvent = m_readEvent;
        WSABUF buffer { sizeof chunk, chunk };
        DWORD flags = 0;
        ::WSAResetEvent(m_readEvent);
        if (::WSARecv(socketOf(m_handle), &buffer, 1, &n, &flags, &overlapped, nullptr) != 0) {
            if (::WSAGetLastError() != WSA_IO_PENDING)
                return false;
            bool done = false;
            bool timedOut = false;
            while (!done) {
                int slice = kWakeSliceMs;
                if (timeoutMs >= 0) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now());
                    slice = left.count() <= 0 ? 0 : left.count() < slice ? int(left.count()) : slice;
                }
                done = ::WSAWaitForMultipleEvents(1, &overlapped.hEvent, FALSE, DWORD(slice), FALSE) == WSA_WAIT_EVENT_0;
                if (done)
                    break;
                timedOut = timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline;
                if (m_shutDown || timedOut) {
                    ::CancelIoEx(reinterpret_cast<HANDLE>(socketOf(m_handle)), &overlapped);
                    break;
                }
            }
            // The receive has ended (or ends now, cancelled) before its buffer goes away.
            const BOOL got = ::WSAGetOverlappedResult(socketOf(m_handle), &overlapped, &n, TRUE, &flags);
            if (!got) {
                if (timedOut && !m_shutDown)
                    m_failure = Failure::TimedOut;
                return false;
            }
        }
        if (n == 0 || m_shutDown)
            return false;
        m_pending.append(chunk, size_t(n));
    }
}

bool LineSocket::hasUnreadInput()
{
    if (!m_pending.empty())
        return true;
    if (m_handle == kNoSocket)
        return false;
    // Bytes waiting; an end of stream is no unread input (the next request finds it lost).
    u_long waiting = 0;
    return ::ioctlsocket(socketOf(m_handle), FIONREAD, &waiting) == 0 && waiting > 0;
}

bool LineSocket::peerHungUp() const
{
    if (m_handle == kNoSocket)
        return true;
    WSAPOLLFD p {};
    p.fd = socketOf(m_handle);
    p.events = POLLRDNORM;
    if (::WSAPoll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return true;
    // Readable with nothing to read: the peer's end of stream.
    char byte;
    return (p.revents & POLLRDNORM) && ::recv(socketOf(m_handle), &byte, 1, MSG_PEEK) == 0;
}

void LineSocket::shutdown()
{
    m_shutDown = true;
    if (m_handle != kNoSocket)
        ::shutdown(socketOf(m_handle), SD_BOTH);
}

void LineSocket::close()
{
    if (m_readEvent)
        ::WSACloseEvent(m_readEvent);
    m_readEvent = nullptr;
    if (m_handle != kNoSocket)
        ::closesocket(socketOf(m_handle));
    m_handle = kNoSocket;
    m_pending.clear();
}

// ---- LineListener

bool LineListener::listen(const BusAddress& address, std::string& error)
{
    close();
    if (address.kind == BusAddress::Kind::Unix) {
        error = kNoUnixSockets;
        return false;
    }
    if (!isLoopbackHost(address.host)) {
        error = "a bus server listens on a loopback address only";
        return false;
    }
    if (!winsockStarted(error))
        return false;
    // A server takes one address: "localhost" is 127.0.0.1.
    Loopback candidates[2];
    loopbacks(address, candidates);
    const Loopback& at = candidates[0];
    SOCKET s = ::WSASocketW(at.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = systemError(WSAGetLastError());
        return false;
    }
    // No other program may take the port from under this server (Windows lets SO_REUSEADDR steal it).
    BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (at.family == AF_INET6)
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&at.address), at.length) != 0 || ::listen(s, 16) != 0) {
        error = "cannot listen on " + describeBusAddress(address) + ": " + systemError(WSAGetLastError());
        ::closesocket(s);
        return false;
    }
    sockaddr_storage bound {};
    int length = sizeof bound;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = systemError(WSAGetLastError());
        ::closesocket(s);
        return false;
    }
    m_port = ntohs(at.family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    m_handle = handleOf(s);
    return true;
}

SocketHandle LineListener::accept(int timeoutMs)
{
    if (m_handle == kNoSocket)
        return kNoSocket;
    WSAPOLLFD p {};
    p.fd = socketOf(m_handle);
    p.events = POLLRDNORM;
    if (::WSAPoll(&p, 1, timeoutMs) <= 0)
        return kNoSocket;
    SOCKET s = ::accept(socketOf(m_handle), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    noDelay(s);
    return handleOf(s);
}

void LineListener::close()
{
    if (m_handle == kNoSocket)
        return;
    ::closesocket(socketOf(m_handle));
    m_handle = kNoSocket;
    m_path.clear();
    m_port = 0;
}

} // namespace platform::vbus
