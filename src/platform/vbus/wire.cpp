#include "platform/vbus/wire.h"

#include "textutil/hex_digit.h"

#include <json/reader.h>
#include <json/writer.h>

#include <atomic>
#include <exception>
#include <memory>
#include <sstream>

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

// Every bus message goes through these two, tens of thousands of times in an update: each
// thread keeps one writer and one reader rather than building them (and their settings) anew.
namespace {

Json::StreamWriter& lineWriter()
{
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    return *writer;
}

Json::CharReader& lineReader()
{
    thread_local const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["allowComments"] = false;
        builder["failIfExtra"] = true;
        builder["rejectDupKeys"] = true;
        builder["stackLimit"] = kMaxDepth;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    return *reader;
}

} // namespace

std::string toLine(const Json::Value& message)
{
    std::ostringstream out;
    lineWriter().write(message, &out);
    return out.str();
}

bool parseLine(const std::string& line, Json::Value& message)
{
    message = Json::Value();
    if (line.size() > kMaxLineLength)
        return false;
    Json::CharReader* reader = &lineReader();
    std::string errors;
    try {
        // The reader throws when a peer nests deeper than the stack limit.
        if (!reader->parse(line.data(), line.data() + line.size(), &message, &errors)) {
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
