#include "blfwk/logger.h"

#include <cstdio>
#include <cstdlib>

namespace blfwk {

namespace {
Logger* g_logger = nullptr;
// Most texts (every byte-trace piece) fit here, so the common path allocates nothing.
constexpr int kStackBufferSize = 256;
} // namespace

void Logger::logv(int level, const char* format, va_list args)
{
    if (level > m_filterLevel)
        return;
    char stackBuffer[kStackBufferSize];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    if (length < 0)
        return;
    if (length < kStackBufferSize) {
        output(stackBuffer);
        return;
    }
    char* heap = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (!heap)
        return; // dropped silently
    std::vsnprintf(heap, size_t(length) + 1, format, args);
    output(heap);
    std::free(heap);
}

void Logger::logv(const char* format, va_list args)
{
    logv(m_outputLevel, format, args);
}

void Logger::log(int level, const std::string& text)
{
    if (level > m_filterLevel)
        return;
    output(text.c_str());
}

void Logger::log(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logv(level, format, args);
    va_end(args);
}

void Logger::log(const std::string& text)
{
    log(m_outputLevel, text);
}

void Logger::log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logv(m_outputLevel, format, args);
    va_end(args);
}

std::atomic<FileLogger::OutputFunction> FileLogger::s_outputFunction { nullptr };

FileLogger::FileLogger(const char* fileName)
    : m_fileName(fileName ? fileName : "")
{ }

void FileLogger::setOutputFunction(OutputFunction fn)
{
    s_outputFunction.store(fn, std::memory_order_relaxed);
}

FileLogger::OutputFunction FileLogger::outputFunction()
{
    return s_outputFunction.load(std::memory_order_relaxed);
}

void FileLogger::output(const char* text)
{
    if (OutputFunction fn = s_outputFunction.load(std::memory_order_relaxed))
        fn(text);
}

void Log::setLogger(Logger* logger)
{
    g_logger = logger;
}
Logger* Log::getLogger()
{
    return g_logger;
}

void Log::log(const char* format, ...)
{
    if (!g_logger)
        return;
    va_list args;
    va_start(args, format);
    g_logger->logv(format, args);
    va_end(args);
}

void Log::log(const std::string& text)
{
    if (g_logger)
        g_logger->log(text);
}

void Log::log(int level, const char* format, ...)
{
    if (!g_logger)
        return;
    va_list args;
    va_start(args, format);
    g_logger->logv(level, format, args);
    va_end(args);
}

void Log::log(int level, const std::string& text)
{
    if (g_logger)
        g_logger->log(level, text);
}

#define BLFWK_LOG_AT(name, level)                                                                            \
    void Log::name(const char* format, ...)                                                                  \
    {                                                                                                        \
        if (!g_logger)                                                                                       \
            return;                                                                                          \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        g_logger->logv(level, format, args);                                                                 \
        va_end(args);                                                                                        \
    }

BLFWK_LOG_AT(always, Logger::Always)
BLFWK_LOG_AT(error, Logger::Error)
BLFWK_LOG_AT(warning, Logger::Warning)
BLFWK_LOG_AT(info, Logger::Info)
BLFWK_LOG_AT(verbose, Logger::Verbose)
BLFWK_LOG_AT(debug, Logger::Debug)
BLFWK_LOG_AT(trace, Logger::Trace)
#undef BLFWK_LOG_AT

void Log::json(const char* format, ...)
{
    if (!g_logger || g_logger->getFilterLevel() != Logger::Json)
        return;
    va_list args;
    va_start(args, format);
    g_logger->logv(Logger::Json, format, args);
    va_end(args);
}

bool Log::traceEnabled()
{
    return g_logger && g_logger->getFilterLevel() == Logger::Trace;
}

} // namespace blfwk
