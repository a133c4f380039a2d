#include "platform/vbus/wire.h"

#include "textutil/hex_digit.h"

#include <json/reader.h>
#include <json/writer.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace platform::vbus {

std::string hexEncode(const uint8_t* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.resize(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return text;
}

bool hexDecode(const std::string& text, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (text.size() % 2 != 0)
        return false;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = textutil::hexDigitValue(text[i]);
        int low = textutil::hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(uint8_t(high << 4 | low));
    }
    return true;
}

// Every bus message goes through a JSON writer and reader, tens of thousands of times in an
// update: they are built once (with their settings) and kept as spares for the next message
// rather than built anew each time. Not thread-local: a thread-local with a destructor brings
// down a MinGW-built program when its thread ends.
namespace {

template <typename T>
class Spares {
public:
    std::unique_ptr<T> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spares.empty())
            return nullptr;
        std::unique_ptr<T> spare = std::move(m_spares.back());
        m_spares.pop_back();
        return spare;
    }
    void give(std::unique_ptr<T> spare)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spares.size() < kKept)
            m_spares.push_back(std::move(spare));
    }

private:
    static constexpr size_t kKept = 8; // more than the threads that talk to the bus at once
    std::mutex m_mutex;
    std::vector<std::unique_ptr<T>> m_spares;
};

// Never destroyed: a worker may still write a line while the program's statics are torn down.
Spares<Json::StreamWriter>& writers()
{
    static auto* spares = new Spares<Json::StreamWriter>();
    return *spares;
}

Spares<Json::CharReader>& readers()
{
    static auto* spares = new Spares<Json::CharReader>();
    return *spares;
}

std::unique_ptr<Json::StreamWriter> takeWriter()
{
    if (std::unique_ptr<Json::StreamWriter> writer = writers().take())
        return writer;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

std::unique_ptr<Json::CharReader> takeReader()
{
    if (std::unique_ptr<Json::CharReader> reader = readers().take())
        return reader;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    builder["stackLimit"] = kMaxDepth;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

} // namespace

std::string toLine(const Json::Value& message)
{
    std::ostringstream out;
    std::unique_ptr<Json::StreamWriter> writer = takeWriter();
    writer->write(message, &out);
    writers().give(std::move(writer));
    return out.str();
}

bool parseLine(const std::string& line, Json::Value& message)
{
    message = Json::Value();
    if (line.size() > kMaxLineLength)
        return false;
    std::unique_ptr<Json::CharReader> reader = takeReader();
    std::string errors;
    try {
        // The reader throws when a peer nests deeper than the stack limit; one that threw is
        // not kept.
        const bool parsed = reader->parse(line.data(), line.data() + line.size(), &message, &errors);
        readers().give(std::move(reader));
        if (!parsed) {
            message = Json::Value();
            return false;
        }
    } catch (const std::exception&) {
        message = Json::Value();
        return false;
    }
    return message.isObject();
}

namespace {
std::atomic<int> g_requestTimeoutMs { 5000 };
}

void setRequestTimeout(int milliseconds)
{
    g_requestTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

int requestTimeout()
{
    return g_requestTimeoutMs;
}

bool BusClient::connect(const std::string& address, std::string* error)
{
    BusAddress parsed;
    std::string why;
    if (!parseBusAddress(address, parsed, why)) {
        if (error)
            *error = why;
        return false;
    }
    return m_socket.connect(parsed, error);
}

bool BusClient::open(const std::string& address, const char* client)
{
    m_error.clear();
    m_contractBroken = false;
    BusAddress parsed;
    std::string why;
    if (!parseBusAddress(address, parsed, why)) {
        m_error = why;
        return false;
    }
    const std::string where = describeBusAddress(parsed);
    if (!m_socket.connect(parsed, &why)) {
        m_error = "cannot reach the bus at " + where + ": " + why;
        return false;
    }
    Json::Value hello(Json::objectValue), response;
    hello["op"] = "hello";
    hello["client"] = client;
    if (!parsed.token.empty())
        hello["token"] = parsed.token;
    if (!call(hello, response)) {
        m_error = "the bus at " + where + " did not answer hello (" + m_error + ")";
        return false;
    }
    const Json::Value& answer = response; // read without adding members
    const Json::Value& ok = answer["ok"];
    const Json::Value& bus = answer["bus"];
    // Another kind of server on the port: no boolean ok, or another bus's name.
    if (!ok.isBool()
        || (ok.asBool() && response.isMember("bus") && (!bus.isString() || bus.asString() != "tarvel-vbus"))) {
        m_contractBroken = true;
        m_error = "the peer at " + where + " does not speak the bus (its hello answer is of the wrong shape)";
        m_socket.close();
        return false;
    }
    if (!ok.asBool()) {
        m_error = "the bus at " + where + " refused hello: " + errorOf(response);
        m_socket.close();
        return false;
    }
    return true;
}

bool BusClient::send(const Json::Value& request)
{
    return m_socket.writeLine(toLine(request));
}

bool BusClient::readMessage(Json::Value& message, int timeoutMs)
{
    std::string line;
    if (!m_socket.readLine(line, kMaxLineLength, timeoutMs)) {
        switch (m_socket.lastFailure()) {
        case LineSocket::Failure::TimedOut:
            m_error = "no answer from the bus within " + std::to_string(timeoutMs) + " ms";
            break;
        case LineSocket::Failure::TooLong:
            m_error = "over-long line from the bus";
            m_contractBroken = true;
            break;
        default:
            m_error = "bus connection lost";
            break;
        }
        return false;
    }
    if (!parseLine(line, message)) {
        m_error = "malformed line from the bus";
        m_contractBroken = true;
        return false;
    }
    return true;
}

bool BusClient::call(const Json::Value& request, Json::Value& response, int extraWaitMs)
{
    m_error.clear();
    m_contractBroken = false;
    // Nothing may be waiting before a request goes out: a line here is one the peer sent on
    // its own, and taking it for this request's answer would shift every answer after it.
    if (m_socket.hasUnreadInput()) {
        m_error = "a line from the bus that no request asked for";
        m_contractBroken = true;
        m_socket.close();
        response = Json::Value();
        return false;
    }
    if (!send(request)) {
        m_error = "bus connection lost";
        return false;
    }
    const long long total = (long long)requestTimeout() + extraWaitMs;
    const int timeout = extraWaitMs < 0 ? -1 : int(total > 0x7FFFFFFF ? 0x7FFFFFFF : total);
    if (readMessage(response, timeout))
        return true;
    // A late or garbled answer would be taken for the next request's: start afresh.
    m_socket.close();
    response = Json::Value();
    return false;
}

std::string errorOf(const Json::Value& response)
{
    const Json::Value& error = response["error"];
    if (error.isString() && !error.asString().empty())
        return error.asString();
    return "bus request failed";
}

} // namespace platform::vbus
