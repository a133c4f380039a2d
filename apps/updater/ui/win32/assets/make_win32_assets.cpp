// Turns the window's build-time pictures into the forms the resource compiler takes: the
// background's raw 32-bit pixels (drawn by the Qt build's asset program) into a 32-bpp BMP,
// and the program icon's PNGs into one .ico whose images are those PNGs as they are.
//
//   make_win32_assets BACKGROUND.rgb32 OUT.bmp OUT.ico ICON.png...

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1080;
constexpr int kHeight = 1922;

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

bool readFile(const char* path, std::vector<uint8_t>& data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool writeFile(const char* path, const std::vector<uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

// A PNG's width and height from its header chunk.
bool pngSize(const std::vector<uint8_t>& png, uint32_t& width, uint32_t& height)
{
    static const uint8_t signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
    if (png.size() < 24 || !std::equal(signature, signature + 8, png.begin()))
        return false;
    auto be32 = [&](size_t at) {
        return uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | uint32_t(png[at + 2]) << 8 | png[at + 3];
    };
    width = be32(16);
    height = be32(20);
    return width > 0 && height > 0 && width <= 256 && height <= 256;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: make_win32_assets BACKGROUND.rgb32 OUT.bmp OUT.ico ICON.png...\n");
        return 2;
    }
    std::vector<uint8_t> pixels;
    if (!readFile(argv[1], pixels) || pixels.size() != size_t(kWidth) * kHeight * 4) {
        std::fprintf(stderr, "make_win32_assets: %s is not a %dx%d 32-bit picture\n", argv[1], kWidth, kHeight);
        return 1;
    }
    // The raw pixels run top-down as B, G, R, X bytes; a BMP keeps its rows bottom-up.
    std::vector<uint8_t> bmp;
    const uint32_t rowBytes = kWidth * 4;
    const uint32_t headers = 14 + 40;
    bmp.push_back('B');
    bmp.push_back('M');
    put32(bmp, headers + rowBytes * kHeight);
    put32(bmp, 0);
    put32(bmp, headers);
    put32(bmp, 40);
    put32(bmp, kWidth);
    put32(bmp, kHeight);
    put16(bmp, 1);
    put16(bmp, 32);
    put32(bmp, 0); // BI_RGB
    put32(bmp, rowBytes * kHeight);
    put32(bmp, 3780);
    put32(bmp, 3780);
    put32(bmp, 0);
    put32(bmp, 0);
    for (int row = kHeight - 1; row >= 0; --row) {
        const uint8_t* line = pixels.data() + size_t(row) * rowBytes;
        for (int x = 0; x < kWidth; ++x) {
            bmp.insert(bmp.end(), line + x * 4, line + x * 4 + 3);
            bmp.push_back(0);
        }
    }
    if (!writeFile(argv[2], bmp)) {
        std::fprintf(stderr, "make_win32_assets: cannot write %s\n", argv[2]);
        return 1;
    }

    std::vector<std::vector<uint8_t>> pngs;
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    for (int i = 4; i < argc; ++i) {
        std::vector<uint8_t> png;
        uint32_t w = 0, h = 0;
        if (!readFile(argv[i], png) || !pngSize(png, w, h)) {
            std::fprintf(stderr, "make_win32_assets: %s is not a PNG of at most 256x256\n", argv[i]);
            return 1;
        }
        pngs.push_back(std::move(png));
        sizes.emplace_back(w, h);
    }
    std::vector<uint8_t> ico;
    put16(ico, 0);
    put16(ico, 1);
    put16(ico, uint32_t(pngs.size()));
    uint32_t offset = 6 + 16 * uint32_t(pngs.size());
    for (size_t i = 0; i < pngs.size(); ++i) {
        ico.push_back(uint8_t(sizes[i].first == 256 ? 0 : sizes[i].first));
        ico.push_back(uint8_t(sizes[i].second == 256 ? 0 : sizes[i].second));
        ico.push_back(0);
        ico.push_back(0);
        put16(ico, 1);
        put16(ico, 32);
        put32(ico, uint32_t(pngs[i].size()));
        put32(ico, offset);
        offset += uint32_t(pngs[i].size());
    }
    for (const auto& png : pngs)
        ico.insert(ico.end(), png.begin(), png.end());
    if (!writeFile(argv[3], ico)) {
        std::fprintf(stderr, "make_win32_assets: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
