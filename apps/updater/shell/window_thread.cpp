#include "window_thread.h"

#include "window_procedure.h"

#include "platform/clock.h"
#include "platform/device_events.h"

#include <cmath>

using Clock = std::chrono::steady_clock;

WindowThread::~WindowThread()
{
    stopDeviceEvents();
    stop();
}

int WindowThread::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_loopThread = std::this_thread::get_id();
    m_running = true;
    while (!m_quitAsked) {
        int timerId = 0;
        if (timerDueLocked(Clock::now(), &timerId)) {
            m_timers[timerId].queued = true;
            m_queue.push_back(Call { [this, timerId] { fireTimer(timerId); }, nullptr });
            continue;
        }
        if (m_queue.empty()) {
            // Sleep until something is queued, quit is asked or the next timer is due.
            auto wake = Clock::time_point::max();
            for (const auto& [id, timer] : m_timers)
                if (!timer.queued && timer.due < wake)
                    wake = timer.due;
            if (wake == Clock::time_point::max())
                m_changed.wait(lock);
            else
                m_changed.wait_until(lock, wake);
            continue;
        }
        Call call = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        call.run();
        lock.lock();
        m_busy = false;
        if (call.done)
            *call.done = true;
        m_changed.notify_all();
    }
    // Nothing runs after the end: queued items are dropped and their senders released.
    m_queue.clear();
    m_timers.clear();
    m_running = false;
    m_ended = true;
    m_loopThread = std::thread::id();
    m_changed.notify_all();
    return m_code;
}

void WindowThread::start()
{
    m_thread = std::thread([this] { run(); });
}

void WindowThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_ended && !m_quitAsked)
            m_quitAsked = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

bool WindowThread::watchDeviceEvents()
{
    const bool started = platform::deviceEventService().start(
        [this](const platform::DeviceEvent& event) { postDeviceChange(deviceChangeMessage(event.kind)); });
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watching = started;
    return started;
}

void WindowThread::stopDeviceEvents()
{
    bool watching = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        watching = m_watching;
        m_watching = false;
    }
    if (watching)
        platform::deviceEventService().stop();
}

void WindowThread::enqueue(Call call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended || m_quitAsked)
        return;
    m_queue.push_back(std::move(call));
    m_changed.notify_all();
}

void WindowThread::post(std::function<void()> item)
{
    enqueue(Call { std::move(item), nullptr });
}

void WindowThread::postDeviceChange(int event)
{
    post([event] { onDeviceChange(event); });
}

void WindowThread::postCommand(int commandId)
{
    post([commandId] { onCommand(commandId); });
}

void WindowThread::postQuit(int code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended || m_quitAsked)
        return;
    m_quitAsked = true;
    m_code = code;
    m_changed.notify_all();
}

bool WindowThread::invoke(const std::function<void()>& fn)
{
    if (onWindowThread()) {
        fn();
        return true;
    }
    auto done = std::make_shared<bool>(false);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_ended || m_quitAsked)
        return false;
    m_queue.push_back(Call { fn, done });
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return *done || m_ended; });
    return *done;
}

void WindowThread::send(int message, MessageParam wParam)
{
    invoke([message, wParam] { onWindowMessage(message, wParam); });
}

std::chrono::milliseconds WindowThread::scaled(int milliseconds) const
{
    const double scale = platform::timeScale();
    return std::chrono::milliseconds(int64_t(std::llround(double(milliseconds) * scale)));
}

void WindowThread::startTimer(int timerId, int milliseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Timer& timer = m_timers[timerId];
    timer.period = scaled(milliseconds);
    timer.due = Clock::now() + timer.period;
    m_changed.notify_all();
}

void WindowThread::killTimer(int timerId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(timerId);
    m_changed.notify_all();
}

void WindowThread::fireTimer(int timerId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_timers.count(timerId))
            return; // killed while its firing waited in the queue
    }
    onTimer(timerId);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_timers.find(timerId);
    if (it != m_timers.end()) {
        it->second.queued = false;
        it->second.due = Clock::now() + it->second.period;
    }
}

bool WindowThread::timerDueLocked(Clock::time_point now, int* timerId)
{
    for (const auto& [id, timer] : m_timers) {
        if (!timer.queued && timer.due <= now) {
            *timerId = id;
            return true;
        }
    }
    return false;
}

bool WindowThread::onWindowThread() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running && m_loopThread == std::this_thread::get_id();
}

bool WindowThread::ended() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended;
}

int WindowThread::exitCode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_code;
}

bool WindowThread::waitEnded(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_ended; });
}

bool WindowThread::waitIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        if (m_ended)
            return true;
        if (m_busy || !m_queue.empty())
            return false;
        for (const auto& [id, timer] : m_timers)
            if (timer.queued || timer.due <= Clock::now())
                return false;
        return true;
    });
}
