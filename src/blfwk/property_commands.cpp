#include "blfwk/property_commands.h"

#include "blfwk/logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace blfwk {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string versionText(const char* label, uint32_t w)
{
    return format("%s = %c%d.%d.%d", label, char((w >> 24) & 0xFF), int((w >> 16) & 0xFF),
        int((w >> 8) & 0xFF), int(w & 0xFF));
}

uint64_t regionSize(uint32_t start, uint32_t end)
{
    return end == start ? 0 : uint64_t(end) - start + 1;
}

} // namespace

std::string scaleBytes(uint64_t count)
{
    constexpr uint64_t kKilo = 1024, kMega = kKilo * 1024, kGiga = kMega * 1024;
    const auto scaled = [count](uint64_t unit, const char* name) {
        const double value = double(count) / double(unit);
        return count % unit ? format("%.3f %s", value, name) : format("%.f %s", value, name);
    };
    if (count >= kGiga)
        return scaled(kGiga, "GB");
    if (count >= kMega)
        return scaled(kMega, "MB");
    if (count >= kKilo)
        return scaled(kKilo, "KB");
    return format("%d bytes", int(count));
}

property_t propertyByValue(uint32_t value)
{
    for (const property_t& row : propertyTable)
        if (row.value == value)
            return row;
    return kInvalidProperty;
}

property_t propertyByName(const std::string& name)
{
    for (const property_t& row : propertyTable)
        if (name == row.name)
            return row;
    return kInvalidProperty;
}

GetProperty::GetProperty(const property_t& property, uint32_t memoryId)
    : Command("get-property")
    , m_property(property)
    , m_memoryId(memoryId)
{
    m_args.push_back(format("0x%08x", property.value));
}

bool GetProperty::parseArgs()
{
    if (argCount() != 2 && argCount() != 3)
        return false;
    // A number too large for a property tag or memory id is refused, not cut to 32 bits.
    if (!numberFits32Bits(arg(1)) || (argCount() == 3 && !numberFits32Bits(arg(2))))
        return false;
    uint32_t value = 0;
    m_property = parseUnsigned(arg(1), &value) ? propertyByValue(value) : propertyByName(arg(1));
    m_memoryId = 0;
    if (argCount() == 3)
        parseUnsigned(arg(2), &m_memoryId);
    return true;
}

void GetProperty::sendTo(Packetizer& packetizer)
{
    if (m_property.value == 0) {
        Log::info("The possible properties for the %s command are\n", name().c_str());
        for (const property_t& row : propertyTable)
            Log::info("    %d or '%s'\n", row.value, row.name);
        m_responseValues.push_back(kStatus_NoResponseExpected);
        return;
    }
    CommandPacket cmdPacket(kCommandTag_GetProperty, 0, { m_property.value, m_memoryId });
    processGetPropertyResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

bool GetProperty::processGetPropertyResponse(const ResponsePacket& packet)
{
    bool result = false;
    if (!checkTypedResponse(packet, kCommandTag_GetPropertyResponse, "kCommandTag_GetPropertyResponse",
            kCommandTag_GetProperty, true, &result))
        return result;
    if (packet.flags() & kCommandFlag_HasDataPhase)
        Log::error("Error: get-property response carries a data phase flag\n");
    const uint32_t status = packet.parameter(0);
    m_responseValues.push_back(status);
    if (status != kStatus_Success)
        return false;
    Log::debug("Successful response to command '%s(%s)'\n", name().c_str(), m_property.name);
    for (uint32_t i = 1; i < packet.parameterCount(); ++i)
        m_responseValues.push_back(packet.parameter(i));
    setPropertyText();
    return true;
}

uint32_t GetProperty::word(size_t k) const
{
    if (k >= m_responseValues.size())
        throw std::out_of_range("invalid vector<T> subscript");
    return m_responseValues[k];
}

void GetProperty::setPropertyText()
{
    const auto bitNames = [this](const char* label, auto rowName) {
        std::string text = label;
        const uint32_t w1 = word(1);
        for (uint32_t bit = 0; bit < 32; ++bit) {
            if (!(w1 & (1u << bit)))
                continue;
            text += rowName(bit);
            if (bit < 31 && (w1 >> (bit + 1)))
                text += ", ";
        }
        return text;
    };
    const auto onOff = [](uint32_t w, const char* on, const char* off) { return w ? on : off; };

    switch (m_property.value) {
    case 1:
        m_responseText = versionText("Current Version", word(1));
        break;
    case 2:
        m_responseText
            = bitNames("Available Peripherals = ", [](uint32_t bit) { return peripheralRow(bit).name; });
        break;
    case 3:
        m_responseText = format("Flash Start Address = 0x%08X", word(1));
        break;
    case 4:
        m_responseText = "Flash Size = " + scaleBytes(word(1));
        break;
    case 5:
        m_responseText = "Flash Sector Size = " + scaleBytes(word(1));
        break;
    case 6:
        m_responseText = format("Flash Block Count = %d", int(word(1)));
        break;
    case 7:
        m_responseText = bitNames("Available Commands = ", [](uint32_t bit) { return commandRow(bit).name; });
        break;
    case 8:
        m_responseText = "CRC Check Status = " + statusMessage(status_t(word(1)));
        break;
    case 10:
        m_responseText = format("Verify Writes Flag = %s", onOff(word(1), "ON", "OFF"));
        break;
    case 11:
        m_responseText = "Max Packet Size = " + scaleBytes(word(1));
        break;
    case 12: {
        const uint32_t flashStart = word(1), flashEnd = word(2), ramStart = word(3), ramEnd = word(4);
        m_responseText = "Reserved Regions = ";
        m_responseText += format("Flash: 0x%X-0x%X (%s), ", flashStart, flashEnd,
            scaleBytes(regionSize(flashStart, flashEnd)).c_str());
        m_responseText += format(
            "RAM: 0x%X-0x%X (%s)", ramStart, ramEnd, scaleBytes(regionSize(ramStart, ramEnd)).c_str());
        break;
    }
    case 13:
        m_responseText = format("Validate Regions Flag = %s", onOff(word(1), "ON", "OFF"));
        break;
    case 14:
        m_responseText = format("RAM Start Address = 0x%08X", word(1));
        break;
    case 15:
        m_responseText = "RAM Size = " + scaleBytes(word(1));
        break;
    case 16:
        m_responseText = format("System Device ID = 0x%08X", word(1));
        break;
    case 17:
        m_responseText = format("Flash Security State = %s", onOff(word(1), "SECURE", "UNSECURE"));
        break;
    case 18:
        m_responseText = "Unique Device ID =";
        for (size_t k = 1; k < m_responseValues.size(); ++k)
            m_responseText += format(" %04X %04X", word(k) >> 16, word(k) & 0xFFFF);
        break;
    case 19:
        m_responseText = format(
            "Flash Access Controller (FAC) Support Flag = %s", onOff(word(1), "SUPPORTED", "UNSUPPORTED"));
        break;
    case 20:
        m_responseText = "Flash Access Segment Size = " + scaleBytes(word(1));
        break;
    case 21:
        m_responseText = format("Flash Access Segment Count = %d", int(word(1)));
        break;
    case 22: {
        const uint32_t w1 = word(1);
        m_responseText = "Flash read margin level = ";
        if (w1 == 0)
            m_responseText += "NORMAL";
        else if (w1 == 1)
            m_responseText += "USER";
        else if (w1 == 2)
            m_responseText += "FACTORY";
        else
            m_responseText += format("UNKNOWN (%d)", int(w1));
        break;
    }
    case 23:
        m_responseText = "QSPI Init Status = " + statusMessage(status_t(word(1)));
        break;
    case 24:
        m_responseText = versionText("Target Version", word(1));
        break;
    case 25: {
        const uint32_t flags = word(1), start = word(2), totalKb = word(3), page = word(4), sector = word(5),
                       block = word(6);
        if (flags == 0)
            break;
        m_responseText = format("%s Attributes: ", m_memoryId == 1 ? "QuadSPI" : "UNKNOWN");
        if (flags & 0x01)
            m_responseText += format("Start Address = 0x%08x  ", start);
        if (flags & 0x02)
            m_responseText += "Total Size = " + scaleBytes(uint64_t(totalKb) * 1024) + "  ";
        if (flags & 0x04)
            m_responseText += "Page Size = " + scaleBytes(page) + "  ";
        if (flags & 0x08)
            m_responseText += "Sector Size = " + scaleBytes(sector) + "  ";
        if (flags & 0x10)
            m_responseText += "Block Size = " + scaleBytes(block) + " ";
        break;
    }
    default:
        break; // no text for "reserved" and unknown properties
    }
}

bool SetProperty::parseArgs()
{
    if (argCount() != 3)
        return false;
    if (!parseLenient(arg(1), &m_propertyTag))
        return false;
    return parseUnsigned(arg(2), &m_value);
}

void SetProperty::sendTo(Packetizer& packetizer)
{
    CommandPacket cmdPacket(kCommandTag_SetProperty, 0, { m_propertyTag, m_value });
    processResponse(cmdPacket.sendCommandGetResponse(packetizer));
}

} // namespace blfwk
