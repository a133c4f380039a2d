#pragma once
// The framework's levelled logger. Every message carries a level; the process-wide logger
// drops those above its filter level and hands each remaining text, formatted, to one output
// operation supplied by the concrete logger. One logging call makes at most one output call.

#include <atomic>
#include <cstdarg>
#include <string>

namespace blfwk {

class Logger {
public:
    // A message passes when its level is less than or equal to the filter level.
    enum LogLevel : int {
        Always = 0,
        Json = 1, // written only when the filter level is exactly Json
        Error = 2,
        Warning = 3,
        Info = 4,
        Verbose = 5,
        Debug = 6,
        Trace = 7, // byte traces of every transfer
    };

    Logger() = default;
    virtual ~Logger() = default;

    virtual void logv(int level, const char* format, va_list args);
    virtual void logv(const char* format, va_list args);
    // Text overloads: the text is delivered unchanged, '%' included.
    virtual void log(int level, const std::string& text);
    virtual void log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    virtual void log(const std::string& text);
    virtual void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Delivers one formatted text.
    virtual void output(const char* text) = 0;

    void setFilterLevel(int level) { m_filterLevel = level; }
    int getFilterLevel() const { return m_filterLevel; }
    void setOutputLevel(int level) { m_outputLevel = level; }
    int getOutputLevel() const { return m_outputLevel; }

protected:
    int m_filterLevel = Info;
    int m_outputLevel = Info; // level of messages logged without one
};

// The logger the bootloader connection installs. It writes no file: its output goes to the
// function the application sets (the updater's flash progress counter), or nowhere.
class FileLogger : public Logger {
public:
    using OutputFunction = void (*)(const char* text);

    // The name is kept for callers that show it; nothing is opened.
    explicit FileLogger(const char* fileName);

    // Process-wide: every FileLogger delivers through this function. nullptr: output is dropped.
    static void setOutputFunction(OutputFunction fn);
    static OutputFunction outputFunction();

    void output(const char* text) override;
    const std::string& fileName() const { return m_fileName; }

private:
    std::string m_fileName;
    static std::atomic<OutputFunction> s_outputFunction;
};

// Static logging over the process-wide logger; every function does nothing while none is
// installed. Whoever installs a logger keeps ownership of it.
class Log {
public:
    static void setLogger(Logger* logger);
    static Logger* getLogger();

    static void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void log(const std::string& text);
    static void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void log(int level, const std::string& text);

    static void always(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void json(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // True when a logger is installed and lets byte traces through (filter level exactly Trace).
    static bool traceEnabled();
};

} // namespace blfwk
