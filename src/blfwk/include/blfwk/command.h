#pragma once
// One bootloader command, built from a text argument vector as a command line gives it. It
// parses its arguments, sends one command packet, runs its data phase where it has one,
// checks the responses and keeps the outcome: response values (value 0 the status) and a text.

#include "blfwk/packetizer.h"
#include "blfwk/protocol_tables.h"

#include <memory>
#include <string>
#include <vector>

namespace blfwk {

using string_vector_t = std::vector<std::string>;
using uint32_vector_t = std::vector<uint32_t>;

// A response packet as read: the bytes belong to the packetizer and stay valid until its next
// read. Word access is limited to what the packet's length holds.
struct ResponsePacket {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;

    bool isNull() const { return bytes == nullptr; }
    uint8_t tag() const { return length > 0 ? bytes[0] : 0; }
    uint8_t flags() const { return length > 1 ? bytes[1] : 0; }
    // The header's parameter count, limited to the words the packet really carries.
    uint32_t parameterCount() const;
    // Little-endian parameter word i (0 is the status); 0 beyond the packet.
    uint32_t parameter(uint32_t index) const;
};

// The command packet under construction: tag, flags, reserved, parameter count, parameters.
class CommandPacket {
public:
    static constexpr uint32_t kMaxParameters = 7;

    CommandPacket(uint8_t tag, uint8_t flags, std::initializer_list<uint32_t> parameters);

    const uint8_t* data() const { return m_bytes; }
    uint32_t size() const { return 4 + 4 * m_count; }
    uint32_t parameterCount() const { return m_count; }

    // Writes the packet and reads the response; a null packet when either fails (logged).
    ResponsePacket sendCommandGetResponse(Packetizer& packetizer) const;

private:
    uint32_t m_count = 0;
    uint8_t m_bytes[4 + 4 * kMaxParameters] = {};
};

class Command {
public:
    // Builds the command that element 0 names and runs its parseArgs. nullptr for an unknown
    // name or refused arguments; an empty vector throws std::out_of_range. Defined beside the
    // command table (command_factory.cpp), the one file that knows every command class.
    static std::unique_ptr<Command> create(const string_vector_t& argv);
    // The usage line of a command ("reset", "read-memory <start> <byte count> [<output file>]"),
    // or nullptr for an unknown name.
    static const char* usage(const std::string& commandName);

    explicit Command(const string_vector_t& argv);
    explicit Command(const char* name);
    virtual ~Command() = default;

    virtual bool parseArgs() { return true; }
    // Throws std::out_of_range for an index beyond the arguments.
    virtual std::string arg(size_t index) const { return m_args.at(index); }
    virtual std::string name() const { return arg(0); }
    virtual size_t argCount() const { return m_args.size(); }
    virtual void sendTo(Packetizer& packetizer) { (void)packetizer; }
    virtual const uint32_vector_t* responseValues() const { return &m_responseValues; }
    virtual std::string responseJson() const;
    // The generic response check against the tag of the command answered.
    virtual bool processResponse(const ResponsePacket& packet, uint8_t commandTag);

    // Status line, further words, result text, and the JSON at the Json level.
    void logResponses() const;
    const std::string& responseText() const { return m_responseText; }

protected:
    // Logs a response too short to hold `words` parameters; records kStatus_UnknownCommand.
    bool checkWords(const ResponsePacket& packet, uint32_t words);
    // The checks every typed response begins with: a missing packet (kStatus_NoResponse), a
    // generic response (the command was refused: the command's own check for commandTag), a
    // tag other than expectedTag (an error, recorded as kStatus_UnknownCommand when
    // recordWrongTag), a packet without its status word. True when the packet may be read on;
    // otherwise *result is what the command's check returns.
    bool checkTypedResponse(const ResponsePacket& packet, uint8_t expectedTag, const char* expectedName,
                            uint8_t commandTag, bool recordWrongTag, bool* result);
    // Checks the response that opens an incoming data phase: a generic response (the command
    // was refused) goes to the command's own check for commandTag; any other tag than
    // expectedTag is an error; a failure status is recorded. True when the phase may start.
    bool processDataPhaseResponse(const ResponsePacket& packet, uint8_t expectedTag, const char* expectedName,
                                  uint8_t commandTag);

    string_vector_t m_args;
    uint32_vector_t m_responseValues;
    std::string m_responseText;
};

// A command of one protocol tag: its generic response is checked against that tag.
template <uint8_t Tag> class TaggedCommand : public Command {
public:
    static constexpr uint8_t kTag = Tag;

    explicit TaggedCommand(const string_vector_t& argv)
        : Command(argv)
    { }
    explicit TaggedCommand(const char* name)
        : Command(name)
    { }

    virtual bool processResponse(const ResponsePacket& packet)
    {
        return Command::processResponse(packet, Tag);
    }
    using Command::processResponse;
};

} // namespace blfwk
