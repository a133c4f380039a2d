#pragma once
// A text that several threads read and write as a whole value. Readers get their own copy,
// so a text never points into a buffer that another thread is reusing.

#include <mutex>
#include <string>

class SharedText {
public:
    explicit SharedText(const char* initial = "") : m_text(initial) {}
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;

    void set(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text = text;
    }
    std::string get() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }
    bool empty() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text.empty();
    }

private:
    mutable std::mutex m_mutex;
    std::string m_text;
};
