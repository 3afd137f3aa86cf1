#include "parallel_runner.h"

#include <algorithm>
#include <chrono>


namespace refl {

namespace {

// Gives the core away while waiting: on a machine with more busy threads than cores, a waiting
// thread must not take time from the one it waits for.
inline void cpuRelax() { std::this_thread::yield(); }

// Spins until ready() holds or about `micros` microseconds have passed; true if it holds.
template <typename Ready>
bool spinFor(Ready ready, int micros) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
    for (int i = 0;; ++i) {
        if (ready()) return true;
        cpuRelax();
        if ((i & 7) == 7 && std::chrono::steady_clock::now() > end) return ready();
    }
}

constexpr int kSpinMicros = 50;

}  // namespace

ParallelRunner::ParallelRunner(int threads) {
    const int extra = std::max(0, threads - 1);
    for (int i = 0; i < extra; ++i) m_workers.emplace_back([this] { workerLoop(); });
}

ParallelRunner::~ParallelRunner() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit.store(true);
    }
    m_wake.notify_all();
    for (std::thread& t : m_workers) t.join();
}

void ParallelRunner::takeJobs(unsigned generation) {
    for (;;) {
        unsigned long long t = m_ticket.load();
        if (unsigned(t >> 32) != generation) return;
        const int jobs = int((t >> 16) & 0xffff), job = int(t & 0xffff);
        if (job >= jobs) return;
        if (!m_ticket.compare_exchange_weak(t, t + 1)) continue;
        // The run is not over while this job is unfinished, so m_fn is still its function.
        (*m_fn)(job);
        if (m_remaining.fetch_sub(1) == 1 && m_callerSleeping.load()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.notify_all();
        }
    }
}

void ParallelRunner::workerLoop() {
    unsigned seen = 0;
    for (;;) {
        auto published = [&] { return m_quit.load() || unsigned(m_ticket.load() >> 32) != seen; };
        if (!spinFor(published, kSpinMicros)) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_sleepingWorkers.fetch_add(1);
            m_wake.wait(lock, published);
            m_sleepingWorkers.fetch_sub(1);
        }
        if (m_quit.load()) return;
        seen = unsigned(m_ticket.load() >> 32);
        takeJobs(seen);
    }
}

void ParallelRunner::run(int jobs, const std::function<void(int)>& fn) {
    if (jobs <= 0) return;
    if (m_workers.empty() || jobs == 1) {
        for (int i = 0; i < jobs; ++i) fn(i);
        return;
    }
    if (jobs > 0xffff) {  // the ticket counts jobs in 16 bits
        for (int first = 0; first < jobs; first += 0xffff) {
            const int count = std::min(0xffff, jobs - first);
            run(count, [&](int i) { fn(first + i); });
        }
        return;
    }
    m_fn = &fn;
    m_remaining.store(jobs);
    const unsigned generation = ++m_generation;
    {
        // Published under the mutex so that a worker about to sleep cannot miss it.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ticket.store((static_cast<unsigned long long>(generation) << 32) |
                       (static_cast<unsigned long long>(jobs) << 16));
    }
    if (m_sleepingWorkers.load() > 0) m_wake.notify_all();
    takeJobs(generation);
    auto finished = [&] { return m_remaining.load() == 0; };
    if (!spinFor(finished, kSpinMicros)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_callerSleeping.store(true);
        m_done.wait(lock, finished);
        m_callerSleeping.store(false);
    }
    m_fn = nullptr;
}

}  // namespace refl
