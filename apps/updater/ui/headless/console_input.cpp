#include "console_input.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct ConsoleInput::Shared {
    FILE* in = nullptr;
    LineHandler onLine;
    EndHandler onEnd;
    std::mutex mutex;
    std::condition_variable changed;
    int open = 0; // questions open
    std::deque<std::string> answers;
    bool closed = false;
    std::thread reader;
};

namespace {

// One line without its line end; false at the end of the input.
bool readLine(FILE* in, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (c == '\n')
            return true;
        line.push_back(char(c));
    }
    return !line.empty();
}

} // namespace

ConsoleInput::ConsoleInput(FILE* in, LineHandler onLine, EndHandler onEnd)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->in = in;
    m_shared->onLine = std::move(onLine);
    m_shared->onEnd = std::move(onEnd);
}

ConsoleInput::~ConsoleInput()
{
    if (!m_shared->reader.joinable())
        return;
    bool ended;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        ended = m_shared->closed;
    }
    if (ended)
        m_shared->reader.join();
    else
        m_shared->reader.detach();
}

void ConsoleInput::start()
{
    std::shared_ptr<Shared> shared = m_shared;
    shared->reader = std::thread([shared] {
        std::string line;
        while (readLine(shared->in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::unique_lock<std::mutex> lock(shared->mutex);
            if (shared->open > 0) {
                shared->answers.push_back(line);
                shared->changed.notify_all();
                continue;
            }
            lock.unlock();
            if (shared->onLine)
                shared->onLine(line);
        }
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->closed = true;
        }
        shared->changed.notify_all();
        if (shared->onEnd)
            shared->onEnd();
    });
}

void ConsoleInput::openQuestion()
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    ++m_shared->open;
}

void ConsoleInput::closeQuestion()
{
    std::deque<std::string> leftOver;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (--m_shared->open > 0)
            return;
        leftOver.swap(m_shared->answers);
    }
    for (const std::string& line : leftOver) {
        if (m_shared->onLine)
            m_shared->onLine(line);
    }
}

bool ConsoleInput::nextAnswer(std::string& line)
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->changed.wait(lock, [this] { return !m_shared->answers.empty() || m_shared->closed; });
    if (m_shared->answers.empty())
        return false;
    line = m_shared->answers.front();
    m_shared->answers.pop_front();
    return true;
}

bool ConsoleInput::closed() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->closed;
}

bool ConsoleInput::questionOpen() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->open > 0;
}
