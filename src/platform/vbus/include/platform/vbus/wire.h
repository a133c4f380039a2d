#pragma once
// The bus's wire format: one JSON object per line over a Unix-domain stream socket, byte
// strings as lower-case hexadecimal text. Shared by the client backends and by servers.

#include <json/value.h>

#include <cstdint>
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

// One stream connection, either end. Not thread-safe except shutdown(), which wakes a
// blocked readLine() from another thread.
class LineSocket {
public:
    LineSocket() = default;
    explicit LineSocket(int fd)
        : m_fd(fd)
    { }
    ~LineSocket();
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    bool connect(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    bool writeLine(const std::string& line); // appends the '\n'
    // Reads one line without its '\n'. False at end of stream, on an error, or when nothing
    // complete arrived within timeoutMs (below 0: no limit). Lines longer than maxLength end
    // the connection (false). lastFailure() tells which.
    bool readLine(std::string& line, size_t maxLength = kMaxLineLength, int timeoutMs = -1);

    enum class Failure { None, Closed, TimedOut, TooLong };
    Failure lastFailure() const { return m_failure; }

    void shutdown(); // both directions; the descriptor stays until close()
    void close();

private:
    int m_fd = -1;
    std::string m_pending;
    Failure m_failure = Failure::None;
};

// How long a client waits for the answer to a request that does not wait itself; a read's
// own time limit is added to it. Set once per process (tarvel-bl's --timeout); default 5 s.
void setRequestTimeout(int milliseconds);
int requestTimeout();

// A client connection that sends a request and waits for its response line, never longer
// than the request timeout (plus extraWaitMs, below 0: without limit).
class BusClient {
public:
    bool connect(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return m_socket.isOpen(); }
    // Sends request and reads one response line. False when the connection failed, the answer
    // did not come in time or was not a JSON object (the connection is then closed, as its
    // answers could no longer be matched to requests; error() tells why). A response with
    // ok:false still returns true (check response["ok"]).
    bool call(const Json::Value& request, Json::Value& response, int extraWaitMs = 0);
    // Sends without waiting (subscribe readers use readMessage afterwards).
    bool send(const Json::Value& request);
    // Reads one message; timeoutMs below 0 waits without limit.
    bool readMessage(Json::Value& message, int timeoutMs = -1);
    const std::string& error() const { return m_error; }
    void shutdown() { m_socket.shutdown(); }
    void close() { m_socket.close(); }

private:
    LineSocket m_socket;
    std::string m_error;
};

// Text of a failed response: its "error", or a fallback.
std::string errorOf(const Json::Value& response);

} // namespace platform::vbus
