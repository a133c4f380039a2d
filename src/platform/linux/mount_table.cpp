#include "linux/mount_table.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace platform::linux_backend {
namespace {

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size())
            break;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t')
            ++end;
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

bool parseInt(const std::string& text, int& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > 0x7FFFFFFF)
        return false;
    value = int(v);
    return true;
}

bool parseDevice(const std::string& text, unsigned& major, unsigned& minor)
{
    size_t colon = text.find(':');
    int maj = 0;
    int min = 0;
    if (colon == std::string::npos || !parseInt(text.substr(0, colon), maj)
        || !parseInt(text.substr(colon + 1), min))
        return false;
    major = unsigned(maj);
    minor = unsigned(min);
    return true;
}

} // namespace

std::string unescapeMountField(const std::string& field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2])
            && isOctal(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                out.push_back(char(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::optional<MountEntry> parseMountInfoLine(const std::string& line)
{
    std::vector<std::string> fields = splitFields(line);
    size_t separator = 0;
    // The optional fields begin at the seventh; the separator is the first lone "-" after them.
    for (size_t i = 6; i < fields.size(); ++i) {
        if (fields[i] == "-") {
            separator = i;
            break;
        }
    }
    if (separator == 0 || fields.size() < separator + 3)
        return std::nullopt;

    MountEntry entry;
    if (!parseInt(fields[0], entry.mountId) || !parseInt(fields[1], entry.parentId)
        || !parseDevice(fields[2], entry.major, entry.minor))
        return std::nullopt;
    entry.root = unescapeMountField(fields[3]);
    entry.mountPoint = unescapeMountField(fields[4]);
    if (entry.mountPoint.empty() || entry.mountPoint[0] != '/')
        return std::nullopt;
    entry.mountOptions = fields[5];
    entry.fsType = unescapeMountField(fields[separator + 1]);
    entry.source = unescapeMountField(fields[separator + 2]);
    if (fields.size() > separator + 3)
        entry.superOptions = fields[separator + 3];
    return entry;
}

std::vector<MountEntry> parseMountInfo(const std::string& text)
{
    std::vector<MountEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (auto entry = parseMountInfoLine(text.substr(pos, end - pos)))
            entries.push_back(std::move(*entry));
        pos = end + 1;
    }
    return entries;
}

std::string rootOfMountPoint(const std::string& mountPoint)
{
    if (!mountPoint.empty() && mountPoint.back() == '/')
        return mountPoint;
    return mountPoint + "/";
}

bool readMountTable(std::vector<MountEntry>& entries, const std::string& path)
{
    entries.clear();
    // A seq file under /proc has no size; read it to the end in pieces.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, size_t(n));
    }
    ::close(fd);
    entries = parseMountInfo(text);
    return true;
}

} // namespace platform::linux_backend
