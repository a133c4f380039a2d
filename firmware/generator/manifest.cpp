#include "manifest.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

bool parseKind(const std::string& text, AssetKind* kind)
{
    if (text == "image")
        *kind = AssetKind::Image;
    else if (text == "nrfbin")
        *kind = AssetKind::NordicImage;
    else if (text == "nrfdat")
        *kind = AssetKind::NordicSettings;
    else if (text == "font")
        *kind = AssetKind::KanjiFont;
    else
        return false;
    return true;
}

bool parseNumber(const std::string& text, long min, long max, long* value)
{
    if (text.empty() || text.size() > 9)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parseTypes(const std::string& text, uint32_t* mask)
{
    *mask = 0;
    if (text == "-")
        return true;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        long type = 0;
        if (!parseNumber(item, 0, 16, &type))
            return false;
        *mask |= 1u << type;
    }
    return *mask != 0;
}

} // namespace

bool readManifest(const std::string& path, std::vector<ManifestEntry>* entries, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    std::string text;
    int lineNo = 0;
    while (std::getline(in, text)) {
        ++lineNo;
        size_t hash = text.find('#');
        if (hash != std::string::npos)
            text.resize(hash);
        std::stringstream fields(text);
        std::vector<std::string> f;
        std::string word;
        while (fields >> word)
            f.push_back(word);
        if (f.empty())
            continue;
        ManifestEntry e;
        e.line = lineNo;
        long value = 0;
        bool ok = f.size() == 7 && parseKind(f[0], &e.kind) && parseTypes(f[2], &e.typeMask);
        if (ok) {
            e.name = f[1];
            if (f[3] == "-")
                e.variant = 0;
            else if (parseNumber(f[3], 0, 60, &value) && (value == 0 || value == 60))
                e.variant = int(value);
            else
                ok = false;
        }
        ok = ok && parseNumber(f[4], 1, 3000000, &value);
        e.size = uint32_t(value);
        ok = ok && (f[5] == "raw" || f[5] == "lz4");
        e.rawForm = ok && f[5] == "raw";
        if (ok) {
            e.version = f[6] == "-" ? "" : f[6];
            bool needsTypes = e.kind != AssetKind::KanjiFont;
            ok = needsTypes == (e.typeMask != 0);
            if (e.kind == AssetKind::Image || e.kind == AssetKind::NordicImage)
                ok = ok && !e.version.empty();
        }
        if (!ok) {
            *error = path + ":" + std::to_string(lineNo) + ": malformed manifest line";
            return false;
        }
        entries->push_back(e);
    }
    return true;
}

int firstType(const ManifestEntry& entry)
{
    for (int t = 0; t < 32; ++t)
        if (entry.typeMask & (1u << t))
            return t;
    return -1;
}

std::string assetSymbol(const ManifestEntry& entry)
{
    std::string symbol = "tarvel_asset_";
    for (char c : entry.name)
        symbol += ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) ? c : '_';
    return symbol;
}
