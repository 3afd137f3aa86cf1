#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace refl {

// A fixed set of worker threads that run one indexed job at a time: run(n, fn) calls
// fn(0) ... fn(n-1) spread over the workers and the calling thread, and returns when
// all calls are done. With one thread everything runs on the caller.
//
// The solver calls run() thousands of times a second with short pauses in between, so
// the workers and the caller first wait by spinning for a short while (about 50 µs)
// before they sleep; a sleeping worker costs a wake-up that is as long as a job.
class ParallelRunner {
public:
    explicit ParallelRunner(int threads);
    ~ParallelRunner();
    ParallelRunner(const ParallelRunner&) = delete;
    ParallelRunner& operator=(const ParallelRunner&) = delete;

    int threadCount() const { return int(m_workers.size()) + 1; }
    void run(int jobs, const std::function<void(int)>& fn);

private:
    void workerLoop();
    void takeJobs(unsigned generation);

    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void(int)>* m_fn = nullptr;
    unsigned m_generation = 0;  // caller only
    // generation << 32 | job count << 16 | next job: a job is claimed by advancing the ticket
    // of its own generation, so a late worker can never claim a job of another run.
    std::atomic<unsigned long long> m_ticket{0};
    std::atomic<int> m_remaining{0};
    std::atomic<int> m_sleepingWorkers{0};
    std::atomic<bool> m_callerSleeping{false};
    std::atomic<bool> m_quit{false};
};

}  // namespace refl
