#pragma once
// A device bootloader played on the scripted HID service: it answers each command report as
// a plain target would (generic responses, read-memory and get-property responses, data
// phases both ways) over a flat memory. Tests override single answers where they need a
// misbehaving target.

#include "scripted_hid.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace blfwktest {

using testsupport::Bytes;

// A 36-byte bootloader report: id, padding, length (little-endian), packet, zero fill.
inline Bytes report(uint8_t id, const Bytes& packet, int length = -1)
{
    Bytes r(36, 0);
    r[0] = id;
    const int n = length < 0 ? int(packet.size()) : length;
    r[2] = uint8_t(n & 0xFF);
    r[3] = uint8_t(n >> 8);
    for (size_t i = 0; i < packet.size() && i < 32; ++i)
        r[4 + i] = packet[i];
    return r;
}

inline void putWord(Bytes& b, uint32_t w)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(w >> (8 * i)));
}

inline uint32_t wordAt(const Bytes& b, size_t offset)
{
    return uint32_t(b[offset]) | (uint32_t(b[offset + 1]) << 8) | (uint32_t(b[offset + 2]) << 16)
        | (uint32_t(b[offset + 3]) << 24);
}

// A response packet: tag, flags, reserved, count, words.
inline Bytes responsePacket(uint8_t tag, const std::vector<uint32_t>& words, uint8_t flags = 0)
{
    Bytes p { tag, flags, 0, uint8_t(words.size()) };
    for (uint32_t w : words)
        putWord(p, w);
    return p;
}

inline Bytes genericResponse(uint32_t status, uint32_t tag)
{
    return report(3, responsePacket(0xA0, { status, tag }));
}

class FakeBootloader {
public:
    explicit FakeBootloader(testsupport::ScriptedHid& hid, size_t memorySize = 1 << 20)
        : memory(memorySize, 0xFF)
        , m_hid(hid)
    {
        m_hid.onWrite = [this](const Bytes& written) { onReport(written); };
    }
    ~FakeBootloader() { m_hid.onWrite = nullptr; }

    // What the target saw.
    struct Received {
        uint8_t tag, flags;
        std::vector<uint32_t> params;
    };
    std::vector<Received> commands;
    std::vector<size_t> dataPacketSizes;
    std::vector<uint8_t> memory;

    // Answers to tune.
    std::map<uint8_t, uint32_t> statusFor; // first-response status per command tag
    std::map<uint32_t, std::vector<uint32_t>> properties; // value words per property tag
    bool silent = false; // answer nothing at all
    // Called with every command before the default handling; return true when it answered.
    std::function<bool(const Received&)> onCommand;

private:
    void onReport(const Bytes& r)
    {
        if (silent || r.size() < 4)
            return;
        const uint32_t length = r[2] | (r[3] << 8);
        if (r[0] == 2) {
            dataPacketSizes.push_back(length);
            for (uint32_t i = 0; i < length && m_writeAddress < memory.size(); ++i)
                memory[m_writeAddress++] = r[4 + i];
            m_writeRemaining -= std::min(m_writeRemaining, length);
            if (m_writeRemaining == 0)
                m_hid.queueReport(genericResponse(0, m_dataTag));
            return;
        }
        if (r[0] != 1 || length < 4)
            return;
        Received cmd { r[4], r[5], {} };
        for (uint32_t i = 0; i < r[7] && 8 + 4 * i + 4 <= r.size(); ++i)
            cmd.params.push_back(wordAt(r, 8 + 4 * i));
        commands.push_back(cmd);
        if (onCommand && onCommand(cmd))
            return;
        const uint32_t status = statusFor.count(cmd.tag) ? statusFor[cmd.tag] : 0;
        switch (cmd.tag) {
        case 0x03: // read-memory
            if (status) {
                m_hid.queueReport(report(3, responsePacket(0xA3, { status, 0 })));
                return;
            }
            m_hid.queueReport(report(3, responsePacket(0xA3, { 0, cmd.params[1] })));
            for (uint32_t done = 0; done < cmd.params[1];) {
                const uint32_t n = std::min<uint32_t>(32, cmd.params[1] - done);
                Bytes chunk(memory.begin() + cmd.params[0] + done, memory.begin() + cmd.params[0] + done + n);
                m_hid.queueReport(report(4, chunk));
                done += n;
            }
            m_hid.queueReport(genericResponse(0, 0x03));
            return;
        case 0x04: // write-memory
        case 0x08: // receive-sb-file
            m_hid.queueReport(genericResponse(status, cmd.tag));
            if (status == 0) {
                m_dataTag = cmd.tag;
                m_writeAddress = cmd.tag == 0x04 ? cmd.params[0] : 0;
                m_writeRemaining = cmd.tag == 0x04 ? cmd.params[1] : cmd.params[0];
                if (m_writeRemaining == 0)
                    m_hid.queueReport(genericResponse(0, cmd.tag));
            }
            return;
        case 0x07: { // get-property
            std::vector<uint32_t> words { status };
            if (status == 0 && properties.count(cmd.params[0]))
                for (uint32_t w : properties[cmd.params[0]])
                    words.push_back(w);
            m_hid.queueReport(report(3, responsePacket(0xA7, words)));
            return;
        }
        default:
            m_hid.queueReport(genericResponse(status, cmd.tag));
        }
    }

    testsupport::ScriptedHid& m_hid;
    uint32_t m_writeAddress = 0;
    uint32_t m_writeRemaining = 0;
    uint8_t m_dataTag = 0;
};

} // namespace blfwktest
