#pragma once
// A logger that keeps every output call, installed for the life of the object.

#include "blfwk/logger.h"

#include <string>
#include <vector>

namespace blfwktest {

class RecordingLogger : public blfwk::Logger {
public:
    explicit RecordingLogger(int filter = blfwk::Logger::Trace)
    {
        setFilterLevel(filter);
        m_previous = blfwk::Log::getLogger();
        blfwk::Log::setLogger(this);
    }
    ~RecordingLogger() override { blfwk::Log::setLogger(m_previous); }

    void output(const char* text) override { lines.emplace_back(text); }

    // All output joined, for searching.
    std::string all() const
    {
        std::string text;
        for (const std::string& line : lines)
            text += line;
        return text;
    }
    bool contains(const std::string& needle) const { return all().find(needle) != std::string::npos; }
    size_t count(const std::string& exact) const
    {
        size_t n = 0;
        for (const std::string& line : lines)
            n += line == exact;
        return n;
    }

    std::vector<std::string> lines;

private:
    blfwk::Logger* m_previous = nullptr;
};

} // namespace blfwktest
