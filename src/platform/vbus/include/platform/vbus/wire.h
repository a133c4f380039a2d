#pragma once
// The bus's wire format: one JSON object per line over a stream socket (Unix-domain or
// loopback TCP), byte strings as lower-case hexadecimal text. Shared by the client backends
// and by servers.

#include "platform/vbus/bus_address.h"

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace platform::vbus {

std::string hexEncode(const uint8_t* data, size_t length);
inline std::string hexEncode(const std::vector<uint8_t>& bytes)
{
    return hexEncode(bytes.data(), bytes.size());
}
// False on an odd length or a character that is not a hexadecimal digit.
bool hexDecode(const std::string& text, std::vector<uint8_t>& bytes);

// Limits on what a peer may send: a line longer than kMaxLineLength ends the connection,
// one nested deeper than kMaxDepth is malformed. The bus's own messages are two levels deep
// and a few hundred kilobytes at most.
constexpr size_t kMaxLineLength = 4u << 20;
constexpr unsigned kMaxDepth = 16;

// One compact line, without the line end.
std::string toLine(const Json::Value& message);
// False when the line is not one JSON object within the limits. Never throws.
bool parseLine(const std::string& line, Json::Value& message);

// A socket as the system names it: a descriptor here, a SOCKET under Winsock. kNoSocket when
// there is none.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

// True where the system has Unix-domain stream sockets (a platform without them serves the
// bus on TCP only).
bool unixSocketsAvailable();

// One stream connection, either end. Not thread-safe except shutdown(), which wakes a
// blocked readLine() from another thread. Its system calls live in one file per platform
// (line_socket_posix.cpp).
class LineSocket {
public:
    LineSocket() = default;
    explicit LineSocket(SocketHandle handle)
        : m_handle(handle)
    { }
    ~LineSocket();
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Connects to a Unix socket path or to a loopback TCP port (a "localhost" tries 127.0.0.1,
    // then ::1). The token is not sent here: that is the hello's job.
    bool connect(const BusAddress& address, std::string* error = nullptr);
    bool isOpen() const { return m_handle != kNoSocket; }

    bool writeLine(const std::string& line); // appends the '\n'
    // Reads one line without its '\n'. False at end of stream, on an error, or when nothing
    // complete arrived within timeoutMs (below 0: no limit). Lines longer than maxLength end
    // the connection (false). lastFailure() tells which.
    bool readLine(std::string& line, size_t maxLength = kMaxLineLength, int timeoutMs = -1);

    enum class Failure { None, Closed, TimedOut, TooLong };
    Failure lastFailure() const { return m_failure; }

    // True when bytes wait that no request asked for: on a connection that answers one line
    // per request, a line the peer sent on its own.
    bool hasUnreadInput();
    // True when the peer has hung up (a client that vanished in the middle of a request).
    bool peerHungUp() const;

    void shutdown(); // both directions; the socket stays until close()
    void close();

private:
    bool setReceiveLimit(int timeoutMs);

    SocketHandle m_handle = kNoSocket;
    std::string m_pending;
    Failure m_failure = Failure::None;
    // Set by shutdown(): where the system does not wake a blocked read for it (Winsock), the
    // read waits in slices and looks.
    std::atomic<bool> m_shutDown { false };
    // The event an overlapped read signals, where reads wait through one (Winsock).
    void* m_readEvent = nullptr;
    // The receive time limit the system holds for this socket (below 0: none), where a read
    // waits through it rather than a poll before each receive (POSIX).
    int m_receiveLimitMs = -1;
};

// The listening end of a bus: a Unix socket path, or a loopback TCP address (port 0: the
// system picks one, port() tells which). Not thread-safe.
class LineListener {
public:
    LineListener() = default;
    ~LineListener() { close(); }
    LineListener(const LineListener&) = delete;
    LineListener& operator=(const LineListener&) = delete;

    // A Unix path is taken only when nothing is there or a stale socket (nobody listening)
    // is left; an ordinary file, a folder or a socket a live server answers on is refused. A
    // TCP address must be a loopback one.
    bool listen(const BusAddress& address, std::string& error);
    uint16_t port() const { return m_port; }
    // A new connection within timeoutMs, else kNoSocket.
    SocketHandle accept(int timeoutMs);
    // Stops listening; removes the socket file when it is still the one this listener made.
    void close();

private:
    SocketHandle m_handle = kNoSocket;
    std::string m_path;
    uint64_t m_fileDevice = 0; // the socket file made, to remove only that one
    uint64_t m_fileInode = 0;
    uint16_t m_port = 0;
};

// How long a client waits for the answer to a request that does not wait itself; a read's
// own time limit is added to it. Set once per process (tarvel-bl's --timeout); default 5 s.
void setRequestTimeout(int milliseconds);
int requestTimeout();

// A client connection that sends a request and waits for its response line, never longer
// than the request timeout (plus extraWaitMs, below 0: without limit).
class BusClient {
public:
    // Connects to the bus at address (a TARVEL_VBUS text: a socket path or tcp:HOST:PORT[/TOKEN]).
    bool connect(const std::string& address, std::string* error = nullptr);
    // Connects and greets the bus: a hello naming client and carrying the address's token, as
    // every connection must begin. False with error() when the address is refused, the bus
    // cannot be reached, or it did not answer the hello with ok (a server with another token
    // answers "token required").
    bool open(const std::string& address, const char* client);
    bool isOpen() const { return m_socket.isOpen(); }
    // Sends request and reads one response line. False when the connection failed, the answer
    // did not come in time or was not a JSON object, or a line came that no request asked for
    // (the connection is then closed, as its answers could no longer be matched to requests;
    // error() tells why). A response with ok:false still returns true (check response["ok"]).
    bool call(const Json::Value& request, Json::Value& response, int extraWaitMs = 0);
    // Sends without waiting (subscribe readers use readMessage afterwards).
    bool send(const Json::Value& request);
    // Reads one message; timeoutMs below 0 waits without limit.
    bool readMessage(Json::Value& message, int timeoutMs = -1);
    const std::string& error() const { return m_error; }
    // True when the last failure was the peer's breach of the bus's contract (a malformed,
    // over-long or unasked-for line, a hello answer of the wrong shape), not a lost or slow
    // connection.
    bool contractBroken() const { return m_contractBroken; }
    void shutdown() { m_socket.shutdown(); }
    void close() { m_socket.close(); }

private:
    LineSocket m_socket;
    std::string m_error;
    bool m_contractBroken = false;
};

// Text of a failed response: its "error", or a fallback.
std::string errorOf(const Json::Value& response);

} // namespace platform::vbus
