// FFTW plans and large buffers of the phase congruency transforms.
#include "phase_congruency_fft.h"

#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace refl {

namespace pcfft {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
void* largeAllocBytes(size_t bytes) {
    const size_t hugePage = size_t(2) << 20;
    bytes = (std::max<size_t>(bytes, 1) + hugePage - 1) / hugePage * hugePage;
    void* p = nullptr;
    if (posix_memalign(&p, hugePage, bytes) != 0) return nullptr;
    madvise(p, bytes, MADV_HUGEPAGE);  // only advice: without it the pages are just small
    return p;
}

void largeFree(void* p) { std::free(p); }
#else
void* largeAllocBytes(size_t bytes) { return fftwf_malloc(std::max<size_t>(bytes, 1)); }

void largeFree(void* p) { fftwf_free(p); }
#endif

namespace {

struct FftPlanCache {
    std::mutex mutex;
    std::vector<std::shared_ptr<const FftPlans>> entries;  // most recently used last
};

FftPlanCache& fftPlanCache() {
    static FftPlanCache cache;
    return cache;
}

// Called with `mutex` held; the deleter of the result takes it itself.
std::shared_ptr<const FftPlans> makeFftPlans(int rows, int cols, std::mutex* mutex) {
    auto plans = std::shared_ptr<FftPlans>(new FftPlans, [mutex](FftPlans* p) {
        {
            std::lock_guard<std::mutex> lock(*mutex);
            for (fftwf_plan plan : {p->forward, p->columns, p->lastColumns, p->row})
                if (plan) fftwf_destroy_plan(plan);
        }
        delete p;
    });
    plans->rows = rows;
    plans->cols = cols;
    // Estimated planning leaves the arrays alone; they only fix size, stride and alignment.
    auto half = fftwAlloc<fftwf_complex>(static_cast<size_t>(rows) * (cols / 2 + 1));
    auto block = fftwAlloc<fftwf_complex>(static_cast<size_t>(rows) * kColumnBlock);
    auto line = fftwAlloc<fftwf_complex>(static_cast<size_t>(paddedRowStride(cols)));
    if (!half || !block || !line) return plans;
    plans->forward =
        fftwf_plan_dft_r2c_2d(rows, cols, reinterpret_cast<float*>(half.get()), half.get(), FFTW_ESTIMATE);
    int n[1] = {rows};
    plans->columns = fftwf_plan_many_dft(1, n, kColumnBlock, block.get(), nullptr, 1, rows, block.get(),
                                         nullptr, 1, rows, FFTW_BACKWARD, FFTW_ESTIMATE);
    if (cols % kColumnBlock != 0)
        plans->lastColumns = fftwf_plan_many_dft(1, n, cols % kColumnBlock, block.get(), nullptr, 1, rows,
                                                 block.get(), nullptr, 1, rows, FFTW_BACKWARD, FFTW_ESTIMATE);
    plans->row = fftwf_plan_dft_1d(cols, line.get(), line.get(), FFTW_BACKWARD, FFTW_ESTIMATE);
    return plans;
}

}  // namespace

// A few sizes are kept (the bands of one camera share one size).
std::shared_ptr<const FftPlans> fftPlansFor(int rows, int cols) {
    FftPlanCache& cache = fftPlanCache();
    std::shared_ptr<const FftPlans> evicted;  // released after the lock
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto& entries = cache.entries;
    for (auto it = entries.begin(); it != entries.end(); ++it)
        if ((*it)->rows == rows && (*it)->cols == cols) {
            auto found = *it;
            entries.erase(it);
            entries.push_back(found);
            return found;
        }
    auto plans = makeFftPlans(rows, cols, &cache.mutex);
    // An incomplete set is not cached: its last owner is the caller, outside the lock.
    if (!plans->complete()) return plans;
    if (entries.size() >= 4) {
        evicted = entries.front();
        entries.erase(entries.begin());
    }
    entries.push_back(plans);
    return plans;
}

}  // namespace pcfft

}  // namespace refl
