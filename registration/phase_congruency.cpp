// Phase congruency with log-Gabor filters applied in the frequency domain (single-precision FFTW),
// and normalizeToByte.
#include <QDebug>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>

#include "phase_congruency_fft.h"
#include "rift2.h"
#include "statistics.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refl {

namespace rift2detail {

void frequencyGrid(int rows, int cols, cv::Mat& radius, cv::Mat& theta) {
    radius.create(rows, cols, CV_32F);
    theta.create(rows, cols, CV_32F);
    for (int r = 0; r < rows; ++r) {
        // r > (rows - 1) / 2 gives the same split for integer and real division.
        const double fy = (r > (rows - 1) / 2 ? r - rows : r) / static_cast<double>(rows);
        float* rad = radius.ptr<float>(r);
        float* th = theta.ptr<float>(r);
        for (int c = 0; c < cols; ++c) {
            const double fx = (c > (cols - 1) / 2 ? c - cols : c) / static_cast<double>(cols);
            rad[c] = static_cast<float>(std::sqrt(fx * fx + fy * fy));
            th[c] = static_cast<float>(std::atan2(-fy, fx));
        }
    }
    if (rows > 0 && cols > 0) radius.at<float>(0, 0) = 1.0f;
}

cv::Mat logGaborRadial(const cv::Mat& radius, double wavelength, double sigmaOnf) {
    cv::Mat out(radius.size(), CV_32F);
    const double fo = 1.0 / wavelength;
    const double lnSigma = std::log(sigmaOnf);
    const double denom = 2.0 * lnSigma * lnSigma;
    for (int r = 0; r < radius.rows; ++r) {
        const float* rad = radius.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < radius.cols; ++c) {
            const double l = std::log(rad[c] / fo);
            o[c] = static_cast<float>(std::exp(-(l * l) / denom));
        }
    }
    if (!out.empty()) out.at<float>(0, 0) = 0.0f;
    return out;
}

cv::Mat angularSpread(const cv::Mat& theta, double angle, double thetaSigma) {
    cv::Mat out(theta.size(), CV_32F);
    const double denom = 2.0 * thetaSigma * thetaSigma;
    for (int r = 0; r < theta.rows; ++r) {
        const float* th = theta.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < theta.cols; ++c) {
            // Distance on the circle: the difference brought into [-pi, pi].
            const double dTheta = std::fabs(std::remainder(th[c] - angle, 2.0 * CV_PI));
            o[c] = static_cast<float>(std::exp(-(dTheta * dTheta) / denom));
        }
    }
    return out;
}

}  // namespace rift2detail

namespace {

using pcfft::FftPlans;
using pcfft::fftPlansFor;
using pcfft::fftwAlloc;
using pcfft::kColumnBlock;
using pcfft::largeAlloc;
using pcfft::LargeBuffer;
using pcfft::paddedRowStride;

// The spectrum and the filters are stored column after column, so the filter product of a block
// of columns is one sequential pass that leaves the columns ready for their transforms; the rows
// are summed up while each is still in cache after its transform.

// Column-major copy of a CV_32F map into `out` (map.total() floats).
void toColumnMajor(const cv::Mat& map, float* out) {
    cv::Mat transposed(map.cols, map.rows, CV_32F, out);
    cv::transpose(map, transposed);
    CV_Assert(transposed.ptr<float>() == out);
}

// Filters depend only on the image size and the filter settings; a pair of bands of one capture
// shares them, so the last set is kept. Stored column-major.
struct FilterBank {
    int rows = 0, cols = 0, orientations = 0, scales = 0;
    double minWavelength = 0, multiplier = 0, sigmaOnf = 0;
    LargeBuffer<float> storage;  // the scales' radial parts, then the orientations' spreads

    const float* radial(int s) const { return storage.get() + static_cast<size_t>(s) * rows * cols; }
    const float* spread(int o) const { return radial(scales + o); }

    bool matches(int r, int c, int o, int s, double w, double m, double sig) const {
        return rows == r && cols == c && orientations == o && scales == s && minWavelength == w &&
               multiplier == m && sigmaOnf == sig;
    }
};

std::shared_ptr<const FilterBank> filterBankFor(int rows, int cols, int orientations, int scales,
                                                double minWavelength, double multiplier, double sigmaOnf) {
    static std::mutex mutex, building;
    static std::shared_ptr<const FilterBank> last;
    auto cached = [&]() -> std::shared_ptr<const FilterBank> {
        std::lock_guard<std::mutex> lock(mutex);
        if (last && last->matches(rows, cols, orientations, scales, minWavelength, multiplier, sigmaOnf))
            return last;
        return nullptr;
    };
    if (auto bank = cached()) return bank;
    // The two bands of a pair usually ask at the same time: the second waits for the first's set.
    std::lock_guard<std::mutex> buildLock(building);
    if (auto bank = cached()) return bank;
    auto bank = std::make_shared<FilterBank>();
    bank->rows = rows;
    bank->cols = cols;
    bank->orientations = orientations;
    bank->scales = scales;
    bank->minWavelength = minWavelength;
    bank->multiplier = multiplier;
    bank->sigmaOnf = sigmaOnf;
    const size_t total = static_cast<size_t>(rows) * cols;
    bank->storage = largeAlloc<float>(total * (scales + orientations));
    if (!bank->storage) return nullptr;
    cv::Mat radius, theta;
    rift2detail::frequencyGrid(rows, cols, radius, theta);
    for (int s = 0; s < scales; ++s) {
        const double wavelength = minWavelength * std::pow(multiplier, s);
        toColumnMajor(rift2detail::logGaborRadial(radius, wavelength, sigmaOnf),
                      bank->storage.get() + s * total);
    }
    const double thetaSigma = CV_PI / orientations / 1.5;
    for (int o = 0; o < orientations; ++o)
        toColumnMajor(rift2detail::angularSpread(theta, o * CV_PI / orientations, thetaSigma),
                      bank->storage.get() + (scales + o) * total);
    std::lock_guard<std::mutex> lock(mutex);
    last = bank;
    return bank;
}

uint32_t floatBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

float bitsFloat(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Median of n non-negative floats (NaN sorts last) from the histogram of their upper 16 bits:
// only the values in the bins that hold the middle ranks are kept (collect) and ordered. Same
// value as a median by sorting.
class HistogramMedian {
public:
    HistogramMedian(const std::vector<uint32_t>& hist, size_t n) : n_(n) {
        if (n == 0) return;
        const size_t hi = n / 2, lo = n % 2 ? hi : hi - 1;
        size_t loBin = 0;
        while (below_ + hist[loBin] <= lo) below_ += hist[loBin++];
        size_t hiBin = loBin, belowHi = below_;
        while (belowHi + hist[hiBin] <= hi) belowHi += hist[hiBin++];
        loBin_ = static_cast<uint32_t>(loBin);
        hiBin_ = static_cast<uint32_t>(hiBin);
        kept_.reserve(belowHi + hist[hiBin] - below_);
    }

    void collect(const float* values, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const uint32_t bits = floatBits(values[i]);
            if ((bits >> 16) - loBin_ <= hiBin_ - loBin_) kept_.push_back(bits);
        }
    }

    double value() {
        if (n_ == 0 || kept_.empty()) return 0.0;
        const size_t k = n_ / 2 - below_;
        // Unsigned order of the bits is the order of non-negative floats.
        std::nth_element(kept_.begin(), kept_.begin() + k, kept_.end());
        const double upper = bitsFloat(kept_[k]);
        if (n_ % 2 == 1) return upper;
        const double lower = bitsFloat(*std::max_element(kept_.begin(), kept_.begin() + k));
        return (lower + upper) / 2.0;
    }

private:
    size_t n_ = 0, below_ = 0;
    uint32_t loBin_ = 0, hiBin_ = 0;
    std::vector<uint32_t> kept_;
};

// Row-major sums over the scales of one orientation and accumulators over the orientations.
// The squared-moment sums live in the moment maps until the last orientation turns them into
// the moments.
struct Accumulators {
    float *sumE, *sumO, *sumAn, *amax, *covx2, *covy2, *covxy;
    uchar* mim;
    uint32_t* hist;  // of the upper 16 bits of the first-scale amplitude
};

// Per-pixel work of the last scale of an orientation, shared by the vector and the plain loops.
struct LastScale {
    float threshold, ca, sa;
    int orientation;
    bool first, lastOrientation;
};

inline void lastScalePixel(float re, float im, size_t i, const LastScale& p, const Accumulators& a) {
    const float e = a.sumE[i] + re, od = a.sumO[i] + im;
    const float an = a.sumAn[i] + std::sqrt(re * re + im * im);
    const float energy = std::sqrt(e * e + od * od);
    const float pc = std::max(energy - p.threshold, 0.0f) / (an + 1e-8f);
    const float px = pc * p.ca, py = pc * p.sa;
    float cx = (p.first ? 0.0f : a.covx2[i]) + px * px;
    float cy = (p.first ? 0.0f : a.covy2[i]) + py * py;
    float cxy = (p.first ? 0.0f : a.covxy[i]) + px * py;
    const float amax = p.first ? -std::numeric_limits<float>::infinity() : a.amax[i];
    if (an > amax) {
        a.amax[i] = an;
        a.mim[i] = static_cast<uchar>(p.orientation);
    } else if (p.first) {
        a.amax[i] = amax;
        a.mim[i] = 0;
    }
    if (p.lastOrientation) {
        cx *= 0.5f;
        cy *= 0.5f;
        cxy *= 2.0f;
        const float denom = std::sqrt((cx - cy) * (cx - cy) + cxy * cxy);
        const float maxMoment = (cy + cx + denom) / 2.0f, minMoment = (cy + cx - denom) / 2.0f;
        cx = maxMoment;
        cy = minMoment;
    }
    a.covx2[i] = cx;
    a.covy2[i] = cy;
    a.covxy[i] = cxy;
}

#if defined(__SSE2__)
// Four pixels at a time with the same operations in the same order (IEEE single precision
// arithmetic and square root give the same bits as the plain loop).
inline void splitComplex(const fftwf_complex* z, __m128& re, __m128& im) {
    const __m128 a = _mm_loadu_ps(z[0]), b = _mm_loadu_ps(z[2]);
    re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

inline __m128 magnitude(__m128 re, __m128 im) {
    return _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im)));
}

inline void lastScaleQuad(const fftwf_complex* z, size_t i, const LastScale& p, const Accumulators& a) {
    __m128 re, im;
    splitComplex(z, re, im);
    const __m128 e = _mm_add_ps(_mm_loadu_ps(a.sumE + i), re), od = _mm_add_ps(_mm_loadu_ps(a.sumO + i), im);
    const __m128 an = _mm_add_ps(_mm_loadu_ps(a.sumAn + i), magnitude(re, im));
    const __m128 energy = magnitude(e, od);
    // max(0, x) in this operand order keeps a NaN x, as std::max(x, 0) does.
    const __m128 pc = _mm_div_ps(_mm_max_ps(_mm_setzero_ps(), _mm_sub_ps(energy, _mm_set1_ps(p.threshold))),
                                 _mm_add_ps(an, _mm_set1_ps(1e-8f)));
    const __m128 px = _mm_mul_ps(pc, _mm_set1_ps(p.ca)), py = _mm_mul_ps(pc, _mm_set1_ps(p.sa));
    const __m128 zero = _mm_setzero_ps();
    __m128 cx = _mm_add_ps(p.first ? zero : _mm_loadu_ps(a.covx2 + i), _mm_mul_ps(px, px));
    __m128 cy = _mm_add_ps(p.first ? zero : _mm_loadu_ps(a.covy2 + i), _mm_mul_ps(py, py));
    __m128 cxy = _mm_add_ps(p.first ? zero : _mm_loadu_ps(a.covxy + i), _mm_mul_ps(px, py));
    const __m128 amax =
        p.first ? _mm_set1_ps(-std::numeric_limits<float>::infinity()) : _mm_loadu_ps(a.amax + i);
    const __m128 greater = _mm_cmpgt_ps(an, amax);
    _mm_storeu_ps(a.amax + i, _mm_or_ps(_mm_and_ps(greater, an), _mm_andnot_ps(greater, amax)));
    // The four index bytes: the orientation where it is stronger, else kept (0 on the first).
    const __m128i greater16 = _mm_packs_epi32(_mm_castps_si128(greater), _mm_castps_si128(greater));
    const int take = _mm_cvtsi128_si32(_mm_packs_epi16(greater16, greater16));
    int32_t kept = 0;
    if (!p.first) std::memcpy(&kept, a.mim + i, sizeof kept);
    const int32_t index =
        (take & static_cast<int32_t>(0x01010101u * static_cast<uint32_t>(p.orientation))) | (~take & kept);
    std::memcpy(a.mim + i, &index, sizeof index);
    if (p.lastOrientation) {
        cx = _mm_mul_ps(cx, _mm_set1_ps(0.5f));
        cy = _mm_mul_ps(cy, _mm_set1_ps(0.5f));
        cxy = _mm_mul_ps(cxy, _mm_set1_ps(2.0f));
        const __m128 d = _mm_sub_ps(cx, cy);
        const __m128 denom = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(d, d), _mm_mul_ps(cxy, cxy)));
        const __m128 two = _mm_set1_ps(2.0f), sum = _mm_add_ps(cy, cx);
        cx = _mm_div_ps(_mm_add_ps(sum, denom), two);
        cy = _mm_div_ps(_mm_sub_ps(sum, denom), two);
    }
    _mm_storeu_ps(a.covx2 + i, cx);
    _mm_storeu_ps(a.covy2 + i, cy);
    _mm_storeu_ps(a.covxy + i, cxy);
}
constexpr int kLanes = 4;
#else
constexpr int kLanes = 1;
#endif

enum class ScaleStep { First, Middle, Last };

// Adds one transformed row into the sums; on the last scale of an orientation also adds its phase
// congruency to the moment sums (starting them on the first orientation), and after the last
// orientation forms the moments.
void accumulateRow(const fftwf_complex* row, size_t offset, int cols, ScaleStep step, const LastScale& last,
                   const Accumulators& a) {
    float* pE = a.sumE + offset;
    float* pO = a.sumO + offset;
    float* pAn = a.sumAn + offset;
    [[maybe_unused]] const int vectorEnd = cols / kLanes * kLanes;
    int c = 0;
    if (step == ScaleStep::First) {
#if defined(__SSE2__)
        for (; c < vectorEnd; c += 4) {
            __m128 re, im;
            splitComplex(row + c, re, im);
            _mm_storeu_ps(pE + c, re);
            _mm_storeu_ps(pO + c, im);
            _mm_storeu_ps(pAn + c, magnitude(re, im));
        }
        c = 0;
        for (; c < vectorEnd; ++c) ++a.hist[floatBits(pAn[c]) >> 16];
#endif
        for (; c < cols; ++c) {
            const float re = row[c][0], im = row[c][1];
            const float an = std::sqrt(re * re + im * im);
            pE[c] = re;
            pO[c] = im;
            pAn[c] = an;
            ++a.hist[floatBits(an) >> 16];
        }
        return;
    }
    if (step == ScaleStep::Middle) {
#if defined(__SSE2__)
        for (; c < vectorEnd; c += 4) {
            __m128 re, im;
            splitComplex(row + c, re, im);
            _mm_storeu_ps(pE + c, _mm_add_ps(_mm_loadu_ps(pE + c), re));
            _mm_storeu_ps(pO + c, _mm_add_ps(_mm_loadu_ps(pO + c), im));
            _mm_storeu_ps(pAn + c, _mm_add_ps(_mm_loadu_ps(pAn + c), magnitude(re, im)));
        }
#endif
        for (; c < cols; ++c) {
            const float re = row[c][0], im = row[c][1];
            pE[c] += re;
            pO[c] += im;
            pAn[c] += std::sqrt(re * re + im * im);
        }
        return;
    }
#if defined(__SSE2__)
    for (; c < vectorEnd; c += 4) lastScaleQuad(row + c, offset + c, last, a);
#endif
    for (; c < cols; ++c) lastScalePixel(row[c][0], row[c][1], offset + c, last, a);
}

// Column-major spectrum of the real image, scaled by 1 / (rows * cols) so that the unnormalised
// inverse transforms give what an inverse DFT with scaling gives. `scratch` (rows x
// paddedRowStride(cols) complex) holds the in-place forward transform.
void imageSpectrum(const cv::Mat& image, const FftPlans& plans, fftwf_complex* scratch,
                   fftwf_complex* spectrum) {
    const int rows = plans.rows, cols = plans.cols, halfCols = cols / 2 + 1;
    // In-place transform: the real rows are padded to the width of the complex rows.
    float* real = reinterpret_cast<float*>(scratch);
    const size_t realStep = sizeof(float) * 2 * halfCols;
    cv::Mat img(rows, cols, CV_32F, real, realStep);
    if (image.channels() == 1)
        image.convertTo(img, CV_32F);
    else {
        cv::Mat first;
        cv::extractChannel(image, first, 0);
        first.convertTo(img, CV_32F);
    }
    if (img.ptr<float>() != real) img.copyTo(cv::Mat(rows, cols, CV_32F, real, realStep));
    for (int r = 0; r < rows; ++r) {
        // A non-finite pixel would spread over the whole spectrum; treat it as 0.
        float* p = real + static_cast<size_t>(r) * 2 * halfCols;
        for (int c = 0; c < cols; ++c)
            if (!std::isfinite(p[c])) p[c] = 0.0f;
    }
    const fftwf_complex* half = scratch;
    fftwf_execute_dft_r2c(plans.forward, real, scratch);
    const float scale = static_cast<float>(1.0 / (static_cast<double>(rows) * cols));
    for (int c = 0; c < cols; ++c) {
        fftwf_complex* dst = spectrum + static_cast<size_t>(c) * rows;
        if (c < halfCols) {
            for (int r = 0; r < rows; ++r) {
                dst[r][0] = half[static_cast<size_t>(r) * halfCols + c][0] * scale;
                dst[r][1] = half[static_cast<size_t>(r) * halfCols + c][1] * scale;
            }
        } else {
            // The right half is the conjugate of the point mirrored through the origin.
            const fftwf_complex* mirror = half + (cols - c);
            for (int r = 0; r < rows; ++r) {
                const size_t at = static_cast<size_t>(r == 0 ? 0 : rows - r) * halfCols;
                dst[r][0] = mirror[at][0] * scale;
                dst[r][1] = -mirror[at][1] * scale;
            }
        }
    }
}

// spectrum x radial x spread over n consecutive elements (one block of columns).
void filterBlock(const fftwf_complex* spectrumBlock, const float* radial, const float* spread, size_t n,
                 fftwf_complex* dst) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) {
        const __m128 f = _mm_mul_ps(_mm_loadu_ps(radial + i), _mm_loadu_ps(spread + i));
        _mm_storeu_ps(dst[i], _mm_mul_ps(_mm_loadu_ps(spectrumBlock[i]), _mm_unpacklo_ps(f, f)));
        _mm_storeu_ps(dst[i + 2], _mm_mul_ps(_mm_loadu_ps(spectrumBlock[i + 2]), _mm_unpackhi_ps(f, f)));
    }
#endif
    for (; i < n; ++i) {
        const float f = radial[i] * spread[i];
        dst[i][0] = spectrumBlock[i][0] * f;
        dst[i][1] = spectrumBlock[i][1] * f;
    }
}

// Puts `width` transformed columns back into the rows of the work buffer.
void storeColumns(const fftwf_complex* block, int rows, int width, fftwf_complex* dst, size_t stride) {
    int r = 0;
#if defined(__SSE2__)
    // Two rows of two columns at a time: one 16-byte load per column, one store per row.
    if (width % 2 == 0)
        for (; r + 2 <= rows; r += 2, dst += 2 * stride)
            for (int j = 0; j < width; j += 2) {
                const __m128 a = _mm_loadu_ps(block[static_cast<size_t>(j) * rows + r]);
                const __m128 b = _mm_loadu_ps(block[static_cast<size_t>(j + 1) * rows + r]);
                _mm_storeu_ps(dst[j], _mm_movelh_ps(a, b));
                _mm_storeu_ps(dst[stride + j], _mm_movehl_ps(b, a));
            }
#endif
    for (; r < rows; ++r, dst += stride)
        for (int j = 0; j < width; ++j) {
            dst[j][0] = block[static_cast<size_t>(j) * rows + r][0];
            dst[j][1] = block[static_cast<size_t>(j) * rows + r][1];
        }
}

}  // namespace

PhaseCongruencyMaps computePhaseCongruency(const cv::Mat& image, int orientations, int scales,
                                           double minWavelength, double multiplier, double sigmaOnf,
                                           double k) {
    PhaseCongruencyMaps out;
    if (image.empty() || orientations < 1 || scales < 1 || orientations > 255) return out;
    const int rows = image.rows, cols = image.cols;
    const size_t total = static_cast<size_t>(rows) * cols;
    const auto plans = fftPlansFor(rows, cols);
    if (!plans->complete()) {
        qDebug() << "computePhaseCongruency: no FFT plan for" << cols << "x" << rows;
        return out;
    }
    const size_t stride = paddedRowStride(cols);
    auto work = largeAlloc<fftwf_complex>(rows * stride);
    auto spectrum = largeAlloc<fftwf_complex>(total);
    auto sums = largeAlloc<float>(4 * total);
    auto block = fftwAlloc<fftwf_complex>(static_cast<size_t>(rows) * kColumnBlock);
    if (!spectrum || !work || !sums || !block) {
        qDebug() << "computePhaseCongruency: out of memory for" << cols << "x" << rows;
        return out;
    }
    imageSpectrum(image, *plans, work.get(), spectrum.get());
    const auto bank = filterBankFor(rows, cols, orientations, scales, minWavelength, multiplier, sigmaOnf);
    if (!bank) {
        qDebug() << "computePhaseCongruency: out of memory for the filters of" << cols << "x" << rows;
        return out;
    }

    out.maxAmplitude.create(rows, cols, CV_32F);
    out.maxIndex.create(rows, cols, CV_8U);
    out.maxMoment.create(rows, cols, CV_32F);
    out.minMoment.create(rows, cols, CV_32F);
    std::vector<uint32_t> hist(1u << 16);
    // The output maps are freshly allocated, hence continuous.
    float* sum = sums.get();
    const Accumulators acc{sum,
                           sum + total,
                           sum + 2 * total,
                           out.maxAmplitude.ptr<float>(),
                           out.maxMoment.ptr<float>(),
                           out.minMoment.ptr<float>(),
                           sum + 3 * total,
                           out.maxIndex.ptr<uchar>(),
                           hist.data()};
    const double sqrtLn4 = std::sqrt(std::log(4.0));
    fftwf_complex* blk = block.get();

    for (int o = 0; o < orientations; ++o) {
        const double angle = o * CV_PI / orientations;
        LastScale last{0.0f,
                       static_cast<float>(std::cos(angle)),
                       static_cast<float>(std::sin(angle)),
                       o,
                       o == 0,
                       o == orientations - 1};
        std::fill(hist.begin(), hist.end(), 0u);
        std::unique_ptr<HistogramMedian> median;
        auto setThreshold = [&] { last.threshold = static_cast<float>(k * (median->value() / sqrtLn4)); };
        for (int s = 0; s < scales; ++s) {
            // Columns: filter a block, transform it, put it back into the rows.
            for (int c0 = 0; c0 < cols; c0 += kColumnBlock) {
                const int width = std::min(kColumnBlock, cols - c0);
                const size_t at = static_cast<size_t>(c0) * rows;
                filterBlock(spectrum.get() + at, bank->radial(s) + at, bank->spread(o) + at,
                            static_cast<size_t>(width) * rows, blk);
                fftwf_execute_dft(width == kColumnBlock ? plans->columns : plans->lastColumns, blk, blk);
                storeColumns(blk, rows, width, work.get() + c0, stride);
            }
            // Rows: transform each and add it in while it is in cache. The noise threshold comes
            // from the first-scale amplitudes, which the second scale picks up from sumAn on its
            // way through when there is a scale between it and the last.
            const ScaleStep step = s == 0            ? ScaleStep::First
                                   : s == scales - 1 ? ScaleStep::Last
                                                     : ScaleStep::Middle;
            const bool collect = s == 1 && step == ScaleStep::Middle;
            for (int r = 0; r < rows; ++r) {
                fftwf_complex* row = work.get() + r * stride;
                fftwf_execute_dft(plans->row, row, row);
                if (collect) median->collect(acc.sumAn + static_cast<size_t>(r) * cols, cols);
                accumulateRow(row, static_cast<size_t>(r) * cols, cols, step, last, acc);
            }
            if (s == 0) {
                median = std::make_unique<HistogramMedian>(hist, total);
                if (scales < 3) {
                    median->collect(acc.sumAn, total);
                    setThreshold();
                }
            } else if (collect) {
                setThreshold();
            }
        }
        if (scales == 1) {
            // The threshold needs the whole first scale, so the moments take a pass of their own:
            // adding a zero row leaves the sums as they are.
            const std::vector<std::array<float, 2>> zeros(static_cast<size_t>(cols), {0.0f, 0.0f});
            for (int r = 0; r < rows; ++r)
                accumulateRow(reinterpret_cast<const fftwf_complex*>(zeros.data()),
                              static_cast<size_t>(r) * cols, cols, ScaleStep::Last, last, acc);
        }
    }
    return out;
}

cv::Mat normalizeToByte(const cv::Mat& map) {
    if (map.empty()) return cv::Mat();
    cv::Mat values;
    map.convertTo(values, CV_32F);
    cv::Mat zero(map.size(), CV_8U, cv::Scalar(0));
    std::vector<float> all;
    all.reserve(values.total());
    for (int r = 0; r < values.rows; ++r) {
        const float* p = values.ptr<float>(r);
        for (int c = 0; c < values.cols; ++c)
            if (!std::isnan(p[c])) all.push_back(p[c]);  // NaN has no place in an ordering
    }
    const double p = percentileOfUnsorted(all, 99.5);
    if (!(p > 1e-8)) return zero;
    cv::Mat out(map.size(), CV_8U);
    for (int r = 0; r < values.rows; ++r) {
        const float* v = values.ptr<float>(r);
        uchar* o = out.ptr<uchar>(r);
        for (int c = 0; c < values.cols; ++c) {
            const double x = std::min(std::max(v[c] / p, 0.0), 1.0) * 255.0;
            o[c] = cv::saturate_cast<uchar>(x);
        }
    }
    return out;
}

}  // namespace refl
