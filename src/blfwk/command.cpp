#include "blfwk/command.h"

#include "blfwk/logger.h"

#include <json/json.h>

#include <cstdio>

namespace blfwk {

namespace {

uint32_t readWord(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16)
        | (uint32_t(bytes[3]) << 24);
}

} // namespace

uint32_t ResponsePacket::parameterCount() const
{
    if (!bytes || length < 4)
        return 0;
    const uint32_t carried = (length - 4) / 4;
    return bytes[3] < carried ? bytes[3] : carried;
}

uint32_t ResponsePacket::parameter(uint32_t index) const
{
    if (!bytes || 8 + 4 * uint64_t(index) > length)
        return 0;
    return readWord(bytes + 4 + 4 * index);
}

CommandPacket::CommandPacket(uint8_t tag, uint8_t flags, std::initializer_list<uint32_t> parameters)
{
    m_bytes[0] = tag;
    m_bytes[1] = flags;
    m_bytes[2] = 0;
    for (uint32_t value : parameters) {
        if (m_count == kMaxParameters)
            break;
        uint8_t* word = m_bytes + 4 + 4 * m_count;
        word[0] = uint8_t(value);
        word[1] = uint8_t(value >> 8);
        word[2] = uint8_t(value >> 16);
        word[3] = uint8_t(value >> 24);
        ++m_count;
    }
    m_bytes[3] = uint8_t(m_count);
}

ResponsePacket CommandPacket::sendCommandGetResponse(Packetizer& packetizer) const
{
    status_t status = packetizer.writePacket(m_bytes, size(), PacketType::Command);
    if (status != kStatus_Success) {
        Log::error("sendCommandGetResponse.writePacket error %d.\n", status);
        return {};
    }
    uint8_t* packet = nullptr;
    uint32_t length = 0;
    status = packetizer.readPacket(&packet, &length, PacketType::Command);
    if (status != kStatus_Success) {
        Log::error("sendCommandGetResponse.readPacket error %d.\n", status);
        return {};
    }
    return { packet, length };
}

Command::Command(const string_vector_t& argv)
    : m_args(argv)
{ }

Command::Command(const char* name)
    : m_args { name }
{ }

bool Command::checkTypedResponse(const ResponsePacket& packet, uint8_t expectedTag, const char* expectedName,
                                 uint8_t commandTag, bool recordWrongTag, bool* result)
{
    *result = false;
    if (packet.isNull()) {
        Log::debug("processResponse: null packet\n");
        m_responseValues.push_back(kStatus_NoResponse);
        return false;
    }
    if (packet.tag() == kCommandTag_GenericResponse) {
        *result = Command::processResponse(packet, commandTag);
        return false;
    }
    if (packet.tag() != expectedTag) {
        Log::error("Error: expected %s (0x%x), received 0x%x\n", expectedName, expectedTag, packet.tag());
        if (recordWrongTag)
            m_responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    return checkWords(packet, 1);
}

bool Command::processDataPhaseResponse(const ResponsePacket& packet, uint8_t expectedTag, const char* expectedName,
                                       uint8_t commandTag)
{
    bool result = false;
    if (!checkTypedResponse(packet, expectedTag, expectedName, commandTag, false, &result))
        return result;
    const uint32_t status = packet.parameter(0);
    if (status != kStatus_Success) {
        m_responseValues.push_back(status);
        return false;
    }
    if (!checkWords(packet, 2))
        return false;
    Log::info("Successful response to command '%s'\n", name().c_str());
    return true;
}

bool Command::checkWords(const ResponsePacket& packet, uint32_t words)
{
    if (packet.parameterCount() >= words)
        return true;
    Log::error("Error: response packet 0x%x too short (%u bytes) for command '%s'\n", packet.tag(),
        packet.length, name().c_str());
    m_responseValues.push_back(kStatus_UnknownCommand);
    return false;
}

bool Command::processResponse(const ResponsePacket& packet, uint8_t commandTag)
{
    if (packet.isNull()) {
        Log::debug("processResponse: null packet\n");
        m_responseValues.push_back(kStatus_NoResponse);
        return false;
    }
    if (packet.tag() != kCommandTag_GenericResponse) {
        Log::error("Error: expected kCommandTag_GenericResponse (0x%x), received 0x%x\n",
            kCommandTag_GenericResponse, packet.tag());
        m_responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    if (!checkWords(packet, 2))
        return false;
    const uint32_t answered = packet.parameter(1);
    if (answered != uint32_t(commandTag)) {
        Log::error("Error: expected commandTag 0x%x, received 0x%x\n", commandTag, answered);
        m_responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    const uint32_t status = packet.parameter(0);
    m_responseValues.push_back(status);
    if (status != kStatus_Success)
        return false;
    Log::info("Successful generic response to command '%s'\n", name().c_str());
    return true;
}

void Command::logResponses() const
{
    if (m_responseValues.empty())
        return; // nothing was exchanged (the failure was logged where it happened)
    const status_t status = status_t(m_responseValues[0]);
    Log::info("Response status = %d (0x%x) %s\n", status, uint32_t(status), statusMessage(status).c_str());
    for (size_t i = 1; i < m_responseValues.size(); ++i)
        Log::info("Response word %d = %ld (0x%lx)\n", int(i), long(m_responseValues[i]),
            (unsigned long)m_responseValues[i]);
    if (!m_responseText.empty())
        Log::info("%s\n", m_responseText.c_str());
    if (Log::getLogger() && Log::getLogger()->getFilterLevel() == Logger::Json)
        Log::json("%s", responseJson().c_str());
}

std::string Command::responseJson() const
{
    Json::Value root(Json::objectValue);
    root["command"] = name();
    Json::Value response(Json::arrayValue);
    if (!m_responseValues.empty()) {
        const status_t status = status_t(m_responseValues[0]);
        Json::Value statusObject(Json::objectValue);
        statusObject["value"] = Json::Int(status);
        char description[160];
        std::snprintf(description, sizeof description, "%d (0x%X) %s", status, uint32_t(status),
            statusMessage(status).c_str());
        statusObject["description"] = description;
        root["status"] = statusObject;
        for (size_t i = 1; i < m_responseValues.size(); ++i)
            response.append(Json::UInt(m_responseValues[i]));
    }
    root["response"] = response;
    Json::StyledWriter writer;
    return writer.write(root);
}

} // namespace blfwk
