#include "blfwk/property_commands.h"

#include "blfwk/command_args.h"
#include "blfwk/logger.h"

#include "textutil/format.h"

#include <optional>
#include <stdexcept>

namespace blfwk {

namespace {

uint64_t regionSize(uint32_t start, uint32_t end)
{
    return end == start ? 0 : uint64_t(end) - start + 1;
}

// A get-property answer as its text reads it.
struct PropertyAnswer {
    const uint32_vector_t& values; // value 0 the status
    uint32_t memoryId;

    // Response value k, or std::out_of_range("invalid vector<T> subscript").
    uint32_t word(size_t k) const
    {
        if (k >= values.size())
            throw std::out_of_range("invalid vector<T> subscript");
        return values[k];
    }
};

// The text of one property's answer; no value leaves the command's text as it was.
using PropertyFormatter = std::optional<std::string> (*)(const char* label, const PropertyAnswer& answer);

std::optional<std::string> versionText(const char* label, const PropertyAnswer& answer)
{
    const uint32_t w = answer.word(1);
    return textutil::format("%s = %c%d.%d.%d", label, char((w >> 24) & 0xFF), int((w >> 16) & 0xFF),
        int((w >> 8) & 0xFF), int(w & 0xFF));
}

// The names of the bits set in word 1, ", " between them.
template <class RowName>
std::string bitNames(const char* label, const PropertyAnswer& answer, RowName rowName)
{
    std::string result = std::string(label) + " = ";
    const uint32_t w1 = answer.word(1);
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (!(w1 & (1u << bit)))
            continue;
        result += rowName(bit);
        if (bit < 31 && (w1 >> (bit + 1)))
            result += ", ";
    }
    return result;
}

std::optional<std::string> peripheralsText(const char* label, const PropertyAnswer& answer)
{
    return bitNames(label, answer, [](uint32_t bit) { return peripheralRow(bit).name; });
}

std::optional<std::string> commandsText(const char* label, const PropertyAnswer& answer)
{
    return bitNames(label, answer, [](uint32_t bit) { return commandRow(bit).name; });
}

std::optional<std::string> addressText(const char* label, const PropertyAnswer& answer)
{
    return textutil::format("%s = 0x%08X", label, answer.word(1));
}

std::optional<std::string> sizeText(const char* label, const PropertyAnswer& answer)
{
    return std::string(label) + " = " + scaleBytes(answer.word(1));
}

std::optional<std::string> countText(const char* label, const PropertyAnswer& answer)
{
    return textutil::format("%s = %d", label, int(answer.word(1)));
}

std::optional<std::string> statusText(const char* label, const PropertyAnswer& answer)
{
    return std::string(label) + " = " + statusMessage(status_t(answer.word(1)));
}

std::string flagText(const char* label, uint32_t w, const char* on, const char* off)
{
    return textutil::format("%s = %s", label, w ? on : off);
}

std::optional<std::string> onOffText(const char* label, const PropertyAnswer& answer)
{
    return flagText(label, answer.word(1), "ON", "OFF");
}

std::optional<std::string> securityText(const char* label, const PropertyAnswer& answer)
{
    return flagText(label, answer.word(1), "SECURE", "UNSECURE");
}

std::optional<std::string> supportText(const char* label, const PropertyAnswer& answer)
{
    return flagText(label, answer.word(1), "SUPPORTED", "UNSUPPORTED");
}

std::optional<std::string> reservedRegionsText(const char* label, const PropertyAnswer& answer)
{
    const uint32_t flashStart = answer.word(1), flashEnd = answer.word(2), ramStart = answer.word(3),
                   ramEnd = answer.word(4);
    return std::string(label) + " = "
        + textutil::format("Flash: 0x%X-0x%X (%s), ", flashStart, flashEnd,
            scaleBytes(regionSize(flashStart, flashEnd)).c_str())
        + textutil::format(
            "RAM: 0x%X-0x%X (%s)", ramStart, ramEnd, scaleBytes(regionSize(ramStart, ramEnd)).c_str());
}

// Every word of the answer, as two 16-bit halves.
std::optional<std::string> uniqueIdText(const char* label, const PropertyAnswer& answer)
{
    std::string result = std::string(label) + " =";
    for (size_t k = 1; k < answer.values.size(); ++k)
        result += textutil::format(" %04X %04X", answer.word(k) >> 16, answer.word(k) & 0xFFFF);
    return result;
}

std::optional<std::string> marginLevelText(const char* label, const PropertyAnswer& answer)
{
    static const char* const kLevels[] = { "NORMAL", "USER", "FACTORY" };
    const uint32_t w1 = answer.word(1);
    return std::string(label) + " = "
        + (w1 < 3 ? std::string(kLevels[w1]) : textutil::format("UNKNOWN (%d)", int(w1)));
}

// Only the attributes that word 1 flags; nothing at all when it flags none.
std::optional<std::string> memoryAttributesText(const char*, const PropertyAnswer& answer)
{
    const uint32_t flags = answer.word(1), start = answer.word(2), totalKb = answer.word(3),
                   page = answer.word(4), sector = answer.word(5), block = answer.word(6);
    if (flags == 0)
        return std::nullopt;
    std::string result = textutil::format("%s Attributes: ", answer.memoryId == 1 ? "QuadSPI" : "UNKNOWN");
    if (flags & 0x01)
        result += textutil::format("Start Address = 0x%08x  ", start);
    if (flags & 0x02)
        result += "Total Size = " + scaleBytes(uint64_t(totalKb) * 1024) + "  ";
    if (flags & 0x04)
        result += "Page Size = " + scaleBytes(page) + "  ";
    if (flags & 0x08)
        result += "Sector Size = " + scaleBytes(sector) + "  ";
    if (flags & 0x10)
        result += "Block Size = " + scaleBytes(block) + " ";
    return result;
}

struct PropertyTextRow {
    uint8_t property;
    const char* label;
    PropertyFormatter text;
};

// The properties that have a text; "reserved" and unknown ones have none.
const PropertyTextRow kPropertyTexts[] = {
    { 1, "Current Version", versionText },
    { 2, "Available Peripherals", peripheralsText },
    { 3, "Flash Start Address", addressText },
    { 4, "Flash Size", sizeText },
    { 5, "Flash Sector Size", sizeText },
    { 6, "Flash Block Count", countText },
    { 7, "Available Commands", commandsText },
    { 8, "CRC Check Status", statusText },
    { 10, "Verify Writes Flag", onOffText },
    { 11, "Max Packet Size", sizeText },
    { 12, "Reserved Regions", reservedRegionsText },
    { 13, "Validate Regions Flag", onOffText },
    { 14, "RAM Start Address", addressText },
    { 15, "RAM Size", sizeText },
    { 16, "System Device ID", addressText },
    { 17, "Flash Security State", securityText },
    { 18, "Unique Device ID", uniqueIdText },
    { 19, "Flash Access Controller (FAC) Support Flag", supportText },
    { 20, "Flash Access Segment Size", sizeText },
    { 21, "Flash Access Segment Count", countText },
    { 22, "Flash read margin level", marginLevelText },
    { 23, "QSPI Init Status", statusText },
    { 24, "Target Version", versionText },
    { 25, "", memoryAttributesText },
};

} // namespace

std::string scaleBytes(uint64_t count)
{
    constexpr uint64_t kKilo = 1024, kMega = kKilo * 1024, kGiga = kMega * 1024;
    const auto scaled = [count](uint64_t unit, const char* name) {
        const double value = double(count) / double(unit);
        return count % unit ? textutil::format("%.3f %s", value, name)
                            : textutil::format("%.f %s", value, name);
    };
    if (count >= kGiga)
        return scaled(kGiga, "GB");
    if (count >= kMega)
        return scaled(kMega, "MB");
    if (count >= kKilo)
        return scaled(kKilo, "KB");
    return textutil::format("%d bytes", int(count));
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
    : TaggedCommand("get-property")
    , m_property(property)
    , m_memoryId(memoryId)
{
    m_args.push_back(textutil::format("0x%08x", property.value));
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

void GetProperty::setPropertyText()
{
    for (const PropertyTextRow& row : kPropertyTexts) {
        if (row.property != m_property.value)
            continue;
        if (std::optional<std::string> text
            = row.text(row.label, PropertyAnswer { m_responseValues, m_memoryId }))
            m_responseText = std::move(*text);
        return;
    }
    // no text for "reserved" and unknown properties
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
