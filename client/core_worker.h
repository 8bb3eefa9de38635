// The thread the client core lives on. A remote-desktop client delivers
// channel data on its connection thread, which must never wait on decoding
// or on a reply; the media player reads from threads of its own. Both hand
// their work here as tasks, run one at a time in the order posted, so the
// core needs no lock. Between tasks the worker calls the tick (time-outs)
// every tickMs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// What a thread other than the core's may ask of it.
class CCoreTaskOps
{
public:
    // Runs task on the core's thread; false (the task dropped) once the
    // worker has stopped.
    virtual bool Post(std::function<void()> task) = 0;

protected:
    ~CCoreTaskOps() = default;
};

class CCoreWorker final : public CCoreTaskOps
{
public:
    CCoreWorker(std::function<void()> tick, uint32_t tickMs);
    ~CCoreWorker();
    CCoreWorker(const CCoreWorker &) = delete;
    CCoreWorker &operator=(const CCoreWorker &) = delete;

    void Start();
    // Runs `last` on the worker after everything posted before it, then
    // ends the thread and joins it; tasks posted later are dropped. From
    // any thread but the worker's own.
    void Stop(std::function<void()> last = nullptr);
    bool Post(std::function<void()> task) override;
    bool OnWorker() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void Run();

    std::function<void()> m_tick;
    std::chrono::milliseconds m_tickPeriod;
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_tasks;
    bool m_bStopping = false;
    std::thread m_thread;
};
