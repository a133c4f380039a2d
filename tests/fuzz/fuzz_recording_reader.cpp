// A session recording as any bytes: the reader either takes it, with every line's fields of
// the types a replay relies on, or refuses it with a reason that names a line.
#include "platform/recording/recording.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace platform::recording;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Recording recording;
    std::string error;
    if (!parseRecording(text, recording, error)) {
        if (error.rfind("line ", 0) != 0 || !recording.lines.empty())
            std::abort();
        return 0;
    }
    size_t last = 1;
    for (const RecordingLine& line : recording.lines) {
        if (line.number <= last || line.tMs < 0)
            std::abort();
        last = line.number;
        if (line.kind == RecordingLine::Kind::Exchange
            && (!line.request["op"].isString() || !line.response["ok"].isBool()))
            std::abort();
        if (line.kind == RecordingLine::Kind::Drive && !line.files.isArray())
            std::abort();
    }
    return 0;
}
