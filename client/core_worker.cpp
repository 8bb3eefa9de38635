#include "core_worker.h"

#include <utility>

CCoreWorker::CCoreWorker(std::function<void()> tick, uint32_t tickMs) : m_tick(std::move(tick)), m_tickPeriod(tickMs) {}

CCoreWorker::~CCoreWorker() { Stop(); }

void CCoreWorker::Start()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_thread.joinable() && !m_bStopping)
        m_thread = std::thread([this] { Run(); });
}

bool CCoreWorker::Post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping)
            return false;
        m_tasks.push_back(std::move(task));
    }
    m_posted.notify_one();
    return true;
}

void CCoreWorker::Stop(std::function<void()> last)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping)
            return;
        if (last)
            m_tasks.push_back(std::move(last));
        m_bStopping = true;
    }
    m_posted.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    else if (last)
        // Never started: what had to run last runs here.
        for (auto &task : m_tasks)
            task();
    m_tasks.clear();
}

void CCoreWorker::Run()
{
    auto nextTick = std::chrono::steady_clock::now() + m_tickPeriod;
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_posted.wait_until(hold, nextTick, [&] { return !m_tasks.empty() || m_bStopping; });
        // Everything posted before Stop runs, then the thread ends.
        while (!m_tasks.empty()) {
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            hold.unlock();
            task();
            hold.lock();
        }
        if (m_bStopping)
            return;
        if (std::chrono::steady_clock::now() >= nextTick) {
            hold.unlock();
            if (m_tick)
                m_tick();
            hold.lock();
            nextTick = std::chrono::steady_clock::now() + m_tickPeriod;
        }
    }
}
