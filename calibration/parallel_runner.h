#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace refl {

// A fixed set of worker threads that run one indexed job at a time: run(n, fn) calls
// fn(0) ... fn(n-1) spread over the workers and the calling thread, and returns when
// all calls are done. With one thread everything runs on the caller.
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
    void drain();

    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void(int)>* m_fn = nullptr;
    int m_jobs = 0;
    int m_next = 0;
    int m_busy = 0;
    unsigned m_generation = 0;
    bool m_quit = false;
};

}  // namespace refl
