#include "handler_queue.h"

#include "window_procedure.h"

#include <chrono>
#include <utility>

bool dropInputQueuedDuring(std::chrono::milliseconds held, bool inputRead)
{
    return !inputRead && held > kStaleInputAfter;
}

HandlerQueue::HandlerQueue(Hooks hooks) : m_hooks(std::move(hooks)) { }

void HandlerQueue::dispatch(std::function<void()> handler)
{
    if (m_closed)
        return;
    if (m_depth > 0 || m_draining || !m_pending.empty()) {
        m_pending.push_back(std::move(handler));
        // Inside a handler or a drain the queue is run when that returns; otherwise the loop
        // must come back for it.
        if (m_depth == 0 && !m_draining && !m_drainRequested && m_hooks.requestDrain) {
            m_drainRequested = true;
            m_hooks.requestDrain();
        }
        return;
    }
    runHandler(handler);
    drain();
}

void HandlerQueue::runInline(const std::function<void()>& fn)
{
    if (m_closed)
        return;
    ++m_depth;
    fn();
    --m_depth;
    // Called outside any handler (a worker's call carried to the window thread), nobody else
    // would run what was queued meanwhile.
    if (m_depth == 0 && !m_draining && !m_pending.empty() && !m_drainRequested && m_hooks.requestDrain) {
        m_drainRequested = true;
        m_hooks.requestDrain();
    }
}

void HandlerQueue::runHandler(const std::function<void()>& handler)
{
    const auto started = std::chrono::steady_clock::now();
    const unsigned readsBefore = m_hooks.inputReads ? m_hooks.inputReads() : 0;
    ++m_depth;
    handler();
    --m_depth;
    const auto held
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const bool inputRead = m_hooks.inputReads && m_hooks.inputReads() != readsBefore;
    if (m_depth == 0 && !m_closed && m_hooks.dropStaleInput && dropInputQueuedDuring(held, inputRead))
        m_hooks.dropStaleInput();
}

void HandlerQueue::drain()
{
    if (m_depth > 0 || m_draining)
        return;
    m_draining = true;
    while (!m_pending.empty() && !m_closed) {
        std::function<void()> next = std::move(m_pending.front());
        m_pending.pop_front();
        runHandler(next);
    }
    m_draining = false;
}

void HandlerQueue::drainArrived()
{
    m_drainRequested = false;
    drain();
}

void HandlerQueue::close()
{
    m_closed = true;
    m_pending.clear();
}
