// FFTW plans and large buffers of the phase congruency transforms.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cstddef>
#include <memory>

namespace refl {

namespace pcfft {

// The inverse 2-D transforms are done by hand: the columns in blocks of kColumnBlock, then row by
// row. With estimated (hence reproducible) plans this is several times faster than FFTW's own 2-D
// plan, and it leaves room to do the filtering and the sums in the same passes.
constexpr int kColumnBlock = 16;

// Complex elements between rows of the work buffer: a multiple of 8 (64 bytes), so every row has
// the alignment of the first and one row plan serves them all.
inline int paddedRowStride(int cols) { return (cols + 7) / 8 * 8; }

template <typename T>
struct FftwFree {
    void operator()(T* p) const { fftwf_free(p); }
};
template <typename T>
using FftwBuffer = std::unique_ptr<T[], FftwFree<T>>;

template <typename T>
FftwBuffer<T> fftwAlloc(size_t count) {
    return FftwBuffer<T>(static_cast<T*>(fftwf_malloc(sizeof(T) * std::max<size_t>(count, 1))));
}

// Buffers of tens of megabytes, asked to be backed by transparent huge pages where the system
// offers them: touching them the first time 4 KiB page by page cost about a sixth of the whole
// computation. Aligned to 2 MiB there (to fftwf_malloc's alignment elsewhere), which satisfies
// FFTW. Null when out of memory.
void* largeAllocBytes(size_t bytes);
void largeFree(void* p);

struct LargeFree {
    void operator()(void* p) const { largeFree(p); }
};
template <typename T>
using LargeBuffer = std::unique_ptr<T[], LargeFree>;

template <typename T>
LargeBuffer<T> largeAlloc(size_t count) {
    return LargeBuffer<T>(static_cast<T*>(largeAllocBytes(sizeof(T) * count)));
}

// Plans for one image size. FFTW's planner is not thread-safe: plans are made and destroyed only
// under one mutex; executing them with the new-array functions is safe from any thread, on
// buffers aligned like the planning ones (fftwf_malloc or largeAlloc; rows of the work buffer
// start at multiples of 64 bytes). Estimated plans do not depend on timing, so every process
// computes the same transforms and gives the same bytes.
struct FftPlans {
    int rows = 0, cols = 0;
    fftwf_plan forward = nullptr;      // real rows x cols -> rows x (cols / 2 + 1), in place
    fftwf_plan columns = nullptr;      // kColumnBlock consecutive columns of `rows` points, in place
    fftwf_plan lastColumns = nullptr;  // the cols % kColumnBlock remaining columns (null when none)
    fftwf_plan row = nullptr;          // one row of `cols` points, in place

    bool complete() const { return forward && columns && row && (cols % kColumnBlock == 0 || lastColumns); }
};

// The plans of a size, made on first use; a few sizes are kept. Check complete() before use.
std::shared_ptr<const FftPlans> fftPlansFor(int rows, int cols);

}  // namespace pcfft

}  // namespace refl
