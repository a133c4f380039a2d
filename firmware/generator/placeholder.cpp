#include "placeholder.h"

#include "firmware/asset_records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using firmware_records::writeLe32;

// splitmix64: small, fast and the same on every host (no library distributions involved).
class Rng {
public:
    explicit Rng(uint64_t seed)
        : m_state(seed)
    { }
    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }
    bool percent(uint32_t p) { return below(100) < p; }

private:
    uint64_t m_state;
};

uint64_t seedFor(const std::string& name)
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : name)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

void put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Synthesises Thumb-2 code: functions with prologue, body and epilogue, literal pools, and a
// pool of recurring instruction idioms (the repetition a compiler leaves in real code, which
// is what makes firmware compress by a quarter or so).
// Share of idioms among the instructions: 7 in 100 gives images some 28 percent smaller under LZ4 HC.
constexpr uint32_t kIdiomPercent = 7;

class CodeWriter {
public:
    CodeWriter(Rng& rng, uint32_t baseAddress, uint32_t imageSize)
        : m_rng(rng)
        , m_base(baseAddress)
        , m_size(imageSize)
    {
        for (int i = 0; i < 384; ++i) {
            std::vector<uint8_t> idiom;
            int count = 2 + int(m_rng.below(6));
            for (int k = 0; k < count; ++k)
                instruction(idiom);
            m_idioms.push_back(idiom);
        }
    }

    void function(std::vector<uint8_t>& out)
    {
        if (out.size() % 2)
            out.push_back(0);
        m_functions.push_back(m_base + uint32_t(out.size()));
        static const uint8_t kSaved[] = { 0x10, 0x30, 0x70, 0xF0, 0xF8, 0x00 };
        uint8_t saved = kSaved[m_rng.below(6)];
        put16(out, 0xB500 | saved); // push {..., lr}
        if (m_rng.percent(40))
            put16(out, 0xB080 | (1 + m_rng.below(8))); // sub sp, #n
        int length = 6 + int(m_rng.below(60));
        for (int i = 0; i < length; ++i) {
            if (m_rng.percent(kIdiomPercent)) {
                uint32_t pick = std::min(
                    m_rng.below(uint32_t(m_idioms.size())), m_rng.below(uint32_t(m_idioms.size())));
                const std::vector<uint8_t>& idiom = m_idioms[pick];
                out.insert(out.end(), idiom.begin(), idiom.end());
            } else {
                instruction(out);
            }
        }
        put16(out, 0xBD00 | saved); // pop {..., pc}
        int literals = int(m_rng.below(5));
        if (literals && out.size() % 4)
            put16(out, 0xBF00); // nop to align the pool
        for (int i = 0; i < literals; ++i)
            put32(out, literal());
    }

    uint32_t randomFunction()
    {
        if (m_functions.empty())
            return m_base + 0x221;
        return m_functions[m_rng.below(uint32_t(m_functions.size()))] | 1;
    }

private:
    uint32_t reg() { return m_rng.below(8); }
    uint32_t smallImm() { return m_rng.percent(30) ? m_rng.below(8) : m_rng.below(256); }

    uint32_t literal()
    {
        switch (m_rng.below(4)) {
        case 0:
            return 0x20000000 + m_rng.below(0x10000) * 4; // RAM variable
        case 1:
            return 0x40000000 + (m_rng.below(0x80) << 12) + m_rng.below(0x40) * 4; // peripheral register
        case 2:
            return (m_base + m_rng.below(m_size)) & ~3u; // constant in flash
        default:
            return smallImm() << (m_rng.below(4) * 8);
        }
    }

    void instruction(std::vector<uint8_t>& out)
    {
        switch (m_rng.below(15)) {
        case 12:
            put16(out, 0xF8D0 | reg()); // ldr.w rt, [rn, #imm12]
            put16(out, reg() << 12 | m_rng.below(4096));
            break;
        case 13: {
            uint32_t imm = m_rng.below(65536); // movw rd, #imm16
            put16(out, 0xF240 | (imm >> 12) | ((imm >> 1) & 0x400));
            put16(out, ((imm >> 8) & 7) << 12 | reg() << 8 | (imm & 0xFF));
            break;
        }
        case 0:
            put16(out, 0x2000 | reg() << 8 | smallImm()); // movs rd, #imm
            break;
        case 1:
            put16(out, 0x6800 | m_rng.below(8) << 6 | reg() << 3 | reg()); // ldr rd, [rn, #imm]
            break;
        case 2:
            put16(out, 0x6000 | m_rng.below(8) << 6 | reg() << 3 | reg()); // str rd, [rn, #imm]
            break;
        case 3:
            put16(out, 0x1800 | reg() << 6 | reg() << 3 | reg()); // adds rd, rn, rm
            break;
        case 4:
            put16(out, 0x2800 | reg() << 8 | smallImm()); // cmp rn, #imm
            break;
        case 5:
            put16(out, 0xD000 | m_rng.below(14) << 8 | m_rng.below(256)); // b<cond>
            break;
        case 6:
            put16(out, 0x4800 | reg() << 8 | m_rng.below(64)); // ldr rd, [pc, #imm]
            break;
        case 7:
            put16(out, 0x4600 | reg() << 3 | reg()); // mov rd, rm
            break;
        case 8:
        case 9: {
            uint32_t offset = m_rng.below(1 << 22); // bl: two halfwords
            put16(out, 0xF000 | (offset >> 11));
            put16(out, 0xF800 | (offset & 0x7FF));
            break;
        }
        case 10:
            put16(out, 0x7800 | m_rng.below(32) << 6 | reg() << 3 | reg()); // ldrb
            break;
        case 11:
            put16(out, 0x4770); // bx lr
            break;
        default:
            put16(out, 0xEB00 | reg()); // add.w rd, rn, rm, lsl #n
            put16(out, m_rng.below(4) << 6 | reg() << 8 | reg());
            break;
        }
    }

    Rng& m_rng;
    uint32_t m_base;
    uint32_t m_size;
    std::vector<std::vector<uint8_t>> m_idioms;
    std::vector<uint32_t> m_functions;
};

// Menu texts and log messages, as a firmware image keeps them in its read-only data.
void appendStrings(std::vector<uint8_t>& out, size_t end, Rng& rng)
{
    static const char* const kWords[] = { "Speed", "Distance", "Time", "Ride", "GPS", "Battery", "Heart",
        "Rate", "Cadence", "Power", "Lap", "Total", "Avg", "Max", "Altitude", "Climb", "Route", "Settings",
        "Backlight", "Units", "Metric", "Imperial", "Bluetooth", "Pairing", "Sensor", "Searching", "Saved",
        "Delete", "Reset", "Calories", "Temperature", "Odometer", "Trip", "Auto", "Pause", "Start", "Stop",
        "Low", "Signal", "Error", "%d", "%02d:%02d", "km/h", "mph", "bpm", "rpm", "W", "Sync", "Firmware",
        "Version", "Language", "Off", "On" };
    const uint32_t count = sizeof(kWords) / sizeof(kWords[0]);
    while (out.size() < end) {
        int words = 1 + int(rng.below(4));
        for (int w = 0; w < words; ++w) {
            if (w)
                out.push_back(' ');
            const char* word = kWords[rng.below(count)];
            out.insert(out.end(), word, word + std::strlen(word));
        }
        if (rng.percent(20))
            out.push_back(rng.percent(50) ? ':' : '.');
        out.push_back(0);
    }
}

// Icons and graphics: run-length-ish pixel rows of a small palette, with noise.
void appendGraphics(std::vector<uint8_t>& out, size_t end, Rng& rng)
{
    while (out.size() < end) {
        uint8_t color = uint8_t(rng.below(4) * 0x55);
        int run = 1 + int(rng.below(12));
        for (int i = 0; i < run; ++i)
            out.push_back(rng.percent(8) ? uint8_t(rng.next()) : color);
        if (rng.percent(20))
            put16(out, uint32_t(rng.next()));
    }
}

// A glyph bitmap of a Kanji-like character: a few horizontal and vertical strokes.
void appendGlyph(std::vector<uint8_t>& out, int width, int height, Rng& rng)
{
    int rowBytes = (width + 7) / 8;
    std::vector<uint32_t> rows(size_t(height), 0);
    int strokes = 3 + int(rng.below(6));
    for (int s = 0; s < strokes; ++s) {
        if (rng.percent(50)) {
            int y = int(rng.below(uint32_t(height)));
            int x0 = int(rng.below(uint32_t(width / 2)));
            int x1 = x0 + 2 + int(rng.below(uint32_t(width - x0 - 1)));
            for (int x = x0; x < x1 && x < width; ++x)
                rows[size_t(y)] |= 1u << x;
        } else {
            int x = int(rng.below(uint32_t(width)));
            int y0 = int(rng.below(uint32_t(height / 2)));
            int y1 = y0 + 2 + int(rng.below(uint32_t(height - y0 - 1)));
            for (int y = y0; y < y1 && y < height; ++y)
                rows[size_t(y)] |= 1u << x;
        }
    }
    // Serif ends and dots that no two glyphs share.
    int marks = int(rng.below(uint32_t(height)));
    for (int m = 0; m < marks; ++m)
        rows[rng.below(uint32_t(height))] |= 1u << rng.below(uint32_t(width));
    for (uint32_t row : rows)
        for (int b = 0; b < rowBytes; ++b)
            out.push_back(uint8_t(row >> (8 * b)));
}

void parseVersion(const std::string& text, uint32_t* major, uint32_t* minor)
{
    size_t dot = text.find('.');
    *major = uint32_t(std::stoul(text.substr(0, dot)));
    *minor = dot == std::string::npos ? 0 : uint32_t(std::stoul(text.substr(dot + 1)));
}

// A main firmware image linked at 0xA000: vector table, identity record, code, data.
std::vector<uint8_t> makeImage(const ManifestEntry& e, Rng& rng)
{
    namespace r = firmware_records;
    const uint32_t base = r::kImageBaseAddress;
    const int type = firstType(e);
    std::vector<uint8_t> out(r::kImageRecordOffset + r::kImageRecordSize, 0);

    // Reset handler and default handler sit right after the identity record.
    const uint32_t resetOffset = uint32_t(out.size());
    const uint32_t defaultOffset = resetOffset + 0x10;
    writeLe32(&out[0], type >= 11 ? 0x20030000 : 0x20010000); // initial stack pointer: top of RAM
    writeLe32(&out[4], (base + resetOffset) | 1);
    for (size_t v = 2; v < 16 + 86; ++v) {
        bool reserved = (v >= 7 && v <= 10) || v == 13;
        writeLe32(&out[v * 4], reserved ? 0 : (base + defaultOffset) | 1);
    }
    uint8_t* record = &out[r::kImageRecordOffset];
    std::memcpy(record, r::kImageMagic, 8);
    uint32_t major = 0, minor = 0;
    parseVersion(e.version, &major, &minor);
    writeLe32(record + 8, uint32_t(type));
    writeLe32(record + 12, uint32_t(e.variant));
    writeLe32(record + 16, major);
    writeLe32(record + 20, minor);
    writeLe32(record + 24, e.size);

    // Reset handler: ldr r0,[pc,#4]; mov sp,r0; bl main; b .; literal; then the default handler.
    put16(out, 0x4801);
    put16(out, 0x4685);
    put16(out, 0xF000);
    put16(out, 0xF80A);
    put16(out, 0xE7FE);
    put16(out, 0xBF00);
    put32(out, 0x20010000);
    put16(out, 0xE7FE); // default handler: b .
    put16(out, 0xBF00);

    CodeWriter code(rng, base, e.size);
    const size_t codeEnd = size_t(e.size) * 78 / 100;
    while (out.size() < codeEnd)
        code.function(out);
    // Interrupt handlers of the peripherals the firmware uses point into the code.
    for (size_t v = 16; v < 16 + 86; v += 1 + rng.below(4))
        writeLe32(&out[v * 4], code.randomFunction());
    appendStrings(out, size_t(e.size) * 88 / 100, rng);
    appendGraphics(out, e.size, rng);
    out.resize(e.size);
    return out;
}

std::vector<uint8_t> makeNordicImage(const ManifestEntry& e, Rng& rng)
{
    namespace r = firmware_records;
    std::vector<uint8_t> out(r::kNordicRecordSize, 0);
    std::memcpy(out.data(), r::kNordicMagic, 8);
    std::memcpy(out.data() + r::kNordicVersionOffset, e.version.data(),
        std::min(e.version.size(), r::kNordicVersionSize - 1));
    CodeWriter code(rng, 0x26000, e.size);
    while (out.size() < size_t(e.size) * 90 / 100)
        code.function(out);
    appendStrings(out, e.size, rng);
    out.resize(e.size);
    return out;
}

// The settings file of a wireless update: versions, image size, hash and signature.
std::vector<uint8_t> makeNordicSettings(const ManifestEntry& e, Rng& rng)
{
    namespace r = firmware_records;
    std::vector<uint8_t> out(r::kNordicDatRecordSize, 0);
    std::memcpy(out.data(), r::kNordicDatMagic, 8);
    put32(out, 1); // settings layout
    put32(out, 52); // hardware version
    put32(out, uint32_t(firstType(e))); // device type
    put32(out, 0x00B7); // required soft device
    put32(out, 100000 + rng.below(40000)); // application size
    while (out.size() < 8 + 20 + 32 + 64) // hash, then signature
        out.push_back(uint8_t(rng.next()));
    out.resize(e.size, 0);
    return out;
}

std::vector<uint8_t> makeKanjiFont(const ManifestEntry& e, Rng& rng)
{
    namespace r = firmware_records;
    std::vector<uint8_t> out(r::kKanjiRecordSize, 0);
    std::memcpy(out.data(), r::kKanjiMagic, 8);
    std::memcpy(
        out.data() + r::kKanjiNameOffset, e.name.data(), std::min(e.name.size(), r::kKanjiNameSize - 1));
    int width = 16, height = 16;
    if (std::sscanf(e.name.c_str(), "Kanji_%dx%d", &width, &height) != 2 || width < 4 || width > 32
        || height < 4)
        width = height = 16;
    while (out.size() < e.size)
        appendGlyph(out, width, height, rng);
    out.resize(e.size);
    return out;
}

} // namespace

std::vector<uint8_t> makePlaceholder(const ManifestEntry& entry)
{
    Rng rng(seedFor(entry.name));
    switch (entry.kind) {
    case AssetKind::Image:
        return makeImage(entry, rng);
    case AssetKind::NordicImage:
        return makeNordicImage(entry, rng);
    case AssetKind::NordicSettings:
        return makeNordicSettings(entry, rng);
    case AssetKind::KanjiFont:
        return makeKanjiFont(entry, rng);
    }
    return {};
}
