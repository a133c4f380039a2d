#include "record_file.h"

#include "platform/file_trees.h"
#include "platform/files.h"

#include <cstdint>
#include <fstream>

std::map<std::string, std::string> readRecordFile(const std::string& path)
{
    std::map<std::string, std::string> record;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            record[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return record;
}

bool replaceRecordFile(const std::string& path, const std::string& text)
{
    const std::string fresh = path + ".new";
    platform::StagingFile file;
    const bool written = file.create(fresh)
        && file.write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) && file.close()
        && platform::replacePath(fresh, path);
    if (!written)
        platform::deleteFile(fresh);
    return written;
}
