#include "parallel_runner.h"

#include <algorithm>

namespace refl {

ParallelRunner::ParallelRunner(int threads) {
    const int extra = std::max(0, threads - 1);
    for (int i = 0; i < extra; ++i) m_workers.emplace_back([this] { workerLoop(); });
}

ParallelRunner::~ParallelRunner() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_workers) t.join();
}

void ParallelRunner::drain() {
    // Called with m_mutex held; takes jobs until none is left.
    std::unique_lock<std::mutex> lock(m_mutex, std::adopt_lock);
    while (m_next < m_jobs) {
        const int job = m_next++;
        ++m_busy;
        lock.unlock();
        (*m_fn)(job);
        lock.lock();
        --m_busy;
    }
    if (m_busy == 0) m_done.notify_all();
    lock.release();
}

void ParallelRunner::workerLoop() {
    unsigned seen = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_quit || m_generation != seen; });
        if (m_quit) return;
        seen = m_generation;
        lock.release();
        drain();
        lock = std::unique_lock<std::mutex>(m_mutex, std::adopt_lock);
    }
}

void ParallelRunner::run(int jobs, const std::function<void(int)>& fn) {
    if (jobs <= 0) return;
    if (m_workers.empty() || jobs == 1) {
        for (int i = 0; i < jobs; ++i) fn(i);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_fn = &fn;
    m_jobs = jobs;
    m_next = 0;
    ++m_generation;
    m_wake.notify_all();
    lock.release();
    drain();
    lock = std::unique_lock<std::mutex>(m_mutex, std::adopt_lock);
    m_done.wait(lock, [&] { return m_next >= m_jobs && m_busy == 0; });
    m_fn = nullptr;
    m_jobs = 0;
}

}  // namespace refl
