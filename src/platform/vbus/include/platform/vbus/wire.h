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

// One compact line, without the line end.
std::string toLine(const Json::Value& message);
// False when the line is not one JSON object.
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
    // Reads one line without its '\n'. False at end of stream or on an error. Lines longer
    // than maxLength end the connection (false).
    bool readLine(std::string& line, size_t maxLength = 16u << 20);

    void shutdown(); // both directions; the descriptor stays until close()
    void close();

private:
    int m_fd = -1;
    std::string m_pending;
};

// A client connection that sends a request and waits for its response line.
class BusClient {
public:
    bool connect(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return m_socket.isOpen(); }
    // Sends request and reads one response line. False when the connection failed; a response
    // with ok:false still returns true (check response["ok"]).
    bool call(const Json::Value& request, Json::Value& response);
    // Sends without waiting (subscribe readers use readMessage afterwards).
    bool send(const Json::Value& request);
    bool readMessage(Json::Value& message);
    void shutdown() { m_socket.shutdown(); }
    void close() { m_socket.close(); }

private:
    LineSocket m_socket;
};

// Text of a failed response: its "error", or a fallback.
std::string errorOf(const Json::Value& response);

} // namespace platform::vbus
