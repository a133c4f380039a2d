#pragma once
// get-property and set-property: one bootloader property read (and rendered as a line of
// text) or written.

#include "blfwk/command.h"

namespace blfwk {

// A byte count as "512 KB", "1.500 MB", "100 bytes".
std::string scaleBytes(uint64_t count);

// The first property row with this value, or kInvalidProperty.
property_t propertyByValue(uint32_t value);
// The first property row with exactly this name, or kInvalidProperty.
property_t propertyByName(const std::string& name);

class GetProperty : public TaggedCommand<kCommandTag_GetProperty> {
public:
    using TaggedCommand::TaggedCommand;
    // Built directly: the argument list becomes "get-property" and the value as "0x%08x".
    explicit GetProperty(const property_t& property, uint32_t memoryId = 0);

    bool parseArgs() override;
    // Reading a value word or a table row that the answer does not provide throws
    // std::out_of_range out of here.
    void sendTo(Packetizer& packetizer) override;
    virtual bool processGetPropertyResponse(const ResponsePacket& packet);

    const property_t& property() const { return m_property; }
    uint32_t memoryId() const { return m_memoryId; }

private:
    // The answer's text, from the table of property texts.
    void setPropertyText();

    property_t m_property = kInvalidProperty;
    uint32_t m_memoryId = 0;
};

class SetProperty : public TaggedCommand<kCommandTag_SetProperty> {
public:
    using TaggedCommand::TaggedCommand;
    bool parseArgs() override;
    void sendTo(Packetizer& packetizer) override;

    uint32_t propertyTag() const { return m_propertyTag; }
    uint32_t value() const { return m_value; }

private:
    uint32_t m_propertyTag = 0;
    uint32_t m_value = 0;
};

} // namespace blfwk
