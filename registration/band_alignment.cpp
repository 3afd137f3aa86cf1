#include "band_alignment.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pair_registration.h"

namespace refl {

namespace {

cv::Mat stretch(const cv::Mat& band) {
    cv::Mat f;
    band.convertTo(f, CV_32F);
    std::vector<float> values;
    values.reserve(f.total());
    for (int y = 0; y < f.rows; ++y)
        for (int x = 0; x < f.cols; ++x)
            if (f.at<float>(y, x) > 0) values.push_back(f.at<float>(y, x));
    if (values.empty()) return cv::Mat::zeros(band.size(), CV_8U);
    std::sort(values.begin(), values.end());
    const float lo = values[values.size() / 100], hi = values[values.size() * 99 / 100];
    cv::Mat out;
    f.convertTo(out, CV_8U, 255.0 / std::max(1e-6f, hi - lo), -lo * 255.0 / std::max(1e-6f, hi - lo));
    return out;
}

// Sub-pixel offset of a correlation peak along one axis from its two neighbours. The surface of a
// pure shift is a sampled Dirichlet kernel, for which the larger neighbour r relative to the peak p
// gives the offset r / (r + p) exactly (a parabola through the three values is biased towards the
// whole pixel by up to half its offset).
double peakOffset(double before, double peak, double after) {
    if (after >= before) return after > 0 ? after / (after + peak) : 0.0;
    return before > 0 ? -before / (before + peak) : 0.0;
}

bool fullyValid(const cv::Mat& image, const cv::Rect& box) {
    const cv::Mat part = image(box);
    const int n = part.channels() == 1 ? cv::countNonZero(part) : int(part.total());
    return n >= int(box.area() * 0.98);
}

}  // namespace

cv::Mat alignmentGradient(const cv::Mat& band) {
    cv::Mat f, gx, gy, mag;
    band.convertTo(f, CV_32F);
    cv::GaussianBlur(f, f, cv::Size(0, 0), 1.0);
    cv::Sobel(f, gx, CV_32F, 1, 0, 3);
    cv::Sobel(f, gy, CV_32F, 0, 1, 3);
    cv::magnitude(gx, gy, mag);
    return mag;
}

namespace {

// Central differences (b(x + 1) - b(x - 1)) / 2 along x and along y; zero on the outer ring.
void centralDifferences(const cv::Mat& b, cv::Mat& dx, cv::Mat& dy) {
    dx = cv::Mat::zeros(b.size(), CV_32F);
    dy = cv::Mat::zeros(b.size(), CV_32F);
    for (int y = 1; y + 1 < b.rows; ++y) {
        const float* up = b.ptr<float>(y - 1);
        const float* row = b.ptr<float>(y);
        const float* down = b.ptr<float>(y + 1);
        float* gx = dx.ptr<float>(y);
        float* gy = dy.ptr<float>(y);
        for (int x = 1; x + 1 < b.cols; ++x) {
            gx[x] = 0.5f * (row[x + 1] - row[x - 1]);
            gy[x] = 0.5f * (down[x] - up[x]);
        }
    }
}

// The enhanced-correlation fit of a pure translation t, moving(x + t) ~ fixed(x) over the window
// `box`, started from t. A translation moves every pixel by the same fraction of a pixel, so the
// warped window and its gradients are one exact bilinear blend of four neighbouring windows of the
// whole moving image (and of its gradients dx, dy). Iterates until the correlation changes by less
// than `eps` or `maxIterations` are done; false when the fit cannot go on (the window would leave
// the image, or the correlation has no ascent direction), with t left where it was.
bool fitWindowTranslation(const cv::Mat& fixed, const cv::Mat& moving, const cv::Mat& dx, const cv::Mat& dy,
                          const cv::Rect& box, cv::Point2d& t, int maxIterations, double eps) {
    const int w = box.width, h = box.height;
    const double n = double(w) * h;
    // The window of the template, zero-mean.
    std::vector<float> templ(size_t(w) * h);
    double tMean = 0;
    for (int y = 0; y < h; ++y) {
        const float* row = fixed.ptr<float>(box.y + y) + box.x;
        for (int x = 0; x < w; ++x) tMean += row[x];
    }
    tMean /= n;
    for (int y = 0; y < h; ++y) {
        const float* row = fixed.ptr<float>(box.y + y) + box.x;
        for (int x = 0; x < w; ++x) templ[size_t(y) * w + x] = float(row[x] - tMean);
    }
    std::vector<float> iw(size_t(w) * h), gx(size_t(w) * h), gy(size_t(w) * h);
    cv::Point2d current = t;
    double rho = -1, lastRho = -2;
    for (int iteration = 0; iteration < maxIterations && std::fabs(rho - lastRho) >= eps; ++iteration) {
        const double fx = std::floor(current.x), fy = std::floor(current.y);
        const int x0 = box.x + int(fx), y0 = box.y + int(fy);
        if (x0 < 0 || y0 < 0 || x0 + w + 1 > moving.cols || y0 + h + 1 > moving.rows) return false;
        const float ax = float(current.x - fx), ay = float(current.y - fy);
        const float w00 = (1 - ax) * (1 - ay), w01 = ax * (1 - ay), w10 = (1 - ax) * ay, w11 = ax * ay;
        auto blend = [&](const cv::Mat& source, std::vector<float>& out) {
            for (int y = 0; y < h; ++y) {
                const float* r0 = source.ptr<float>(y0 + y) + x0;
                const float* r1 = source.ptr<float>(y0 + y + 1) + x0;
                float* o = out.data() + size_t(y) * w;
                for (int x = 0; x < w; ++x) o[x] = w00 * r0[x] + w01 * r0[x + 1] + w10 * r1[x] + w11 * r1[x + 1];
            }
        };
        blend(moving, iw);
        blend(dx, gx);
        blend(dy, gy);
        double iMean = 0;
        for (float v : iw) iMean += v;
        iMean /= n;
        double hxx = 0, hxy = 0, hyy = 0, ipx = 0, ipy = 0, tpx = 0, tpy = 0, corr = 0, iNorm2 = 0, tNorm2 = 0;
        for (size_t k = 0; k < iw.size(); ++k) {
            const double i = iw[k] - iMean, tv = templ[k], a = gx[k], b = gy[k];
            hxx += a * a;
            hxy += a * b;
            hyy += b * b;
            ipx += a * i;
            ipy += b * i;
            tpx += a * tv;
            tpy += b * tv;
            corr += tv * i;
            iNorm2 += i * i;
            tNorm2 += tv * tv;
        }
        const double det = hxx * hyy - hxy * hxy;
        if (!(det > 0) || !(iNorm2 > 0) || !(tNorm2 > 0)) return false;
        lastRho = rho;
        rho = corr / std::sqrt(iNorm2 * tNorm2);
        // H^-1 times the image's projection onto the gradients.
        const double qx = (hyy * ipx - hxy * ipy) / det, qy = (hxx * ipy - hxy * ipx) / det;
        const double lambdaN = iNorm2 - (ipx * qx + ipy * qy);
        const double lambdaD = corr - (tpx * qx + tpy * qy);
        if (!(lambdaD > 0)) return false;
        const double lambda = lambdaN / lambdaD;
        const double ex = lambda * tpx - ipx, ey = lambda * tpy - ipy;
        current.x += (hyy * ex - hxy * ey) / det;
        current.y += (hxx * ey - hxy * ex) / det;
        if (!std::isfinite(current.x) || !std::isfinite(current.y)) return false;
    }
    t = current;
    return true;
}

}  // namespace

BandShiftSample correlateWindows(const cv::Mat& a, const cv::Mat& b, const cv::Mat& hann) {
    BandShiftSample out;
    auto spectrum = [&hann](const cv::Mat& w) {
        cv::Mat f = w - cv::mean(w)[0];
        f = f.mul(hann);
        cv::Mat s;
        cv::dft(f, s, cv::DFT_COMPLEX_OUTPUT);
        return s;
    };
    const cv::Mat A = spectrum(a), B = spectrum(b);
    cv::Mat cross;
    cv::mulSpectrums(B, A, cross, 0, true);
    // Whitening: only the phase of the cross spectrum is kept.
    std::vector<cv::Mat> parts;
    cv::split(cross, parts);
    cv::Mat magnitude;
    cv::magnitude(parts[0], parts[1], magnitude);
    magnitude += 1e-12f;
    cv::divide(parts[0], magnitude, parts[0]);
    cv::divide(parts[1], magnitude, parts[1]);
    cv::merge(parts, cross);
    cv::Mat surface;
    cv::idft(cross, surface, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    cv::Point peak;
    double height = 0;
    cv::minMaxLoc(surface, nullptr, &height, nullptr, &peak);
    const int w = surface.cols, h = surface.rows;
    auto at = [&](int y, int x) { return double(surface.at<float>((y + h) % h, (x + w) % w)); };
    const double dx = peakOffset(at(peak.y, peak.x - 1), height, at(peak.y, peak.x + 1));
    const double dy = peakOffset(at(peak.y - 1, peak.x), height, at(peak.y + 1, peak.x));
    const int ix = peak.x < w / 2 ? peak.x : peak.x - w;
    const int iy = peak.y < h / 2 ? peak.y : peak.y - h;
    out.shift = cv::Point2d(ix + dx, iy + dy);
    out.response = height;
    return out;
}

std::vector<BandShiftSample> measureBandShifts(const cv::Mat& fixed, const cv::Mat& moving,
                                               const BandQualityOptions& options, const cv::Mat& fixedGradient,
                                               int* gridWindows) {
    std::vector<BandShiftSample> out;
    if (gridWindows) *gridWindows = 0;
    if (fixed.empty() || fixed.size() != moving.size() || !options.validate().isEmpty()) return out;
    const int window = options.window;
    const cv::Mat a = fixedGradient.size() == fixed.size() ? fixedGradient : alignmentGradient(fixed);
    const cv::Mat b = alignmentGradient(moving);
    cv::Mat bx, by;
    if (options.refineWindows) centralDifferences(b, bx, by);
    cv::Mat hann;
    cv::createHanningWindow(hann, cv::Size(window, window), CV_32F);
    int grid = 0;
    for (int y = window / 2; y + window <= fixed.rows - window / 2; y += options.step) {
        for (int x = window / 2; x + window <= fixed.cols - window / 2; x += options.step) {
            const cv::Rect box(x, y, window, window);
            // Blank areas (outside a warped band, masked pixels) carry no structure.
            if (!fullyValid(fixed, box) || !fullyValid(moving, box)) continue;
            ++grid;
            BandShiftSample s = correlateWindows(a(box), b(box), hann);
            if (s.response < options.minResponse) continue;
            if (std::hypot(s.shift.x, s.shift.y) > window / 4.0) continue;
            if (options.refineWindows) {
                // moving(x + t) ~ fixed(x): t is the window's shift.
                cv::Point2d refined = s.shift;
                // A fit that wanders off the peak is no refinement of it.
                if (fitWindowTranslation(a, b, bx, by, box, refined, 30, 1e-4) &&
                    std::hypot(refined.x - s.shift.x, refined.y - s.shift.y) <= 1.0)
                    s.shift = refined;
            }
            s.centre = cv::Point2d(x + window / 2.0, y + window / 2.0);
            out.push_back(s);
        }
    }
    if (gridWindows) *gridWindows = grid;
    return out;
}

namespace {

// Least-squares affine field through the kept samples: terms 1, x, y of centred, scaled coordinates,
// one set of coefficients per axis.
bool fitField(const std::vector<BandShiftSample>& samples, const std::vector<bool>& keep, cv::Point2d origin,
              double scale, cv::Mat& cx, cv::Mat& cy) {
    const int terms = 3;
    int n = 0;
    for (bool k : keep) n += k;
    if (n < terms + 2) return false;
    cv::Mat A(n, terms, CV_64F), bx(n, 1, CV_64F), by(n, 1, CV_64F);
    int row = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (!keep[i]) continue;
        const double x = (samples[i].centre.x - origin.x) / scale, y = (samples[i].centre.y - origin.y) / scale;
        const double t[3] = {1, x, y};
        for (int k = 0; k < terms; ++k) A.at<double>(row, k) = t[k];
        bx.at<double>(row) = samples[i].shift.x;
        by.at<double>(row) = samples[i].shift.y;
        ++row;
    }
    return cv::solve(A, bx, cx, cv::DECOMP_SVD) && cv::solve(A, by, cy, cv::DECOMP_SVD);
}

cv::Point2d fieldAt(const cv::Mat& cx, const cv::Mat& cy, const cv::Point2d& c, cv::Point2d origin, double scale) {
    const double x = (c.x - origin.x) / scale, y = (c.y - origin.y) / scale;
    const double t[3] = {1, x, y};
    cv::Point2d v;
    for (int k = 0; k < cx.rows; ++k) {
        v.x += cx.at<double>(k) * t[k];
        v.y += cy.at<double>(k) * t[k];
    }
    return v;
}

}  // namespace

QString BandQualityOptions::validate() const {
    if (window < 16) return QString("measurement window %1 px is below 16").arg(window);
    if (step < 1) return QString("window step %1 px is below 1").arg(step);
    if (!(minResponse > 0)) return QString("minimum correlation peak %1 is not above 0").arg(minResponse);
    if (minWindows < 4) return QString("minimum window count %1 is below 4").arg(minWindows);
    if (!(maxUncertainty > 0)) return QString("maximum uncertainty %1 px is not above 0").arg(maxUncertainty);
    return QString();
}

BandQuality summarizeBandShifts(const std::vector<BandShiftSample>& samples, int gridWindows,
                                const BandQualityOptions& options, const BandQuality* through) {
    BandQuality q;
    q.gridWindows = gridWindows;
    q.windows = int(samples.size());
    if (q.windows < options.minWindows) return q;
    std::vector<double> xs, ys;
    cv::Point2d lo(1e300, 1e300), hi(-1e300, -1e300);
    for (const BandShiftSample& s : samples) {
        xs.push_back(s.shift.x);
        ys.push_back(s.shift.y);
        lo = cv::Point2d(std::min(lo.x, s.centre.x), std::min(lo.y, s.centre.y));
        hi = cv::Point2d(std::max(hi.x, s.centre.x), std::max(hi.y, s.centre.y));
    }
    q.medianShift = cv::Point2d(medianOf(xs), medianOf(ys));
    const cv::Point2d origin = 0.5 * (lo + hi);
    const double scale = std::max(1.0, 0.5 * std::max(hi.x - lo.x, hi.y - lo.y));
    // Start from the windows near the median shift, then refit on the windows near the field.
    std::vector<bool> keep(samples.size(), true);
    std::vector<double> dev(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        dev[i] = std::hypot(samples[i].shift.x - q.medianShift.x, samples[i].shift.y - q.medianShift.y);
    cv::Mat cx, cy;
    double limit = 0;
    for (int round = 0; round < 3; ++round) {
        limit = std::max(1.0, 3.0 * 1.4826 * medianOf(dev));
        for (size_t i = 0; i < samples.size(); ++i) keep[i] = dev[i] <= limit;
        if (!fitField(samples, keep, origin, scale, cx, cy)) {
            cx = (cv::Mat_<double>(1, 1) << q.medianShift.x);
            cy = (cv::Mat_<double>(1, 1) << q.medianShift.y);
        }
        for (size_t i = 0; i < samples.size(); ++i) {
            const cv::Point2d f = fieldAt(cx, cy, samples[i].centre, origin, scale);
            dev[i] = std::hypot(samples[i].shift.x - f.x, samples[i].shift.y - f.y);
        }
    }
    q.scatter = 1.4826 * medianOf(dev);
    int kept = 0;
    for (bool k : keep) kept += k;
    q.uncertainty = q.scatter * std::sqrt(3.0 / std::max(kept, 1));
    // The field in pixel coordinates (a constant field when too few windows for the affine one).
    for (int k = 0; k < 2; ++k) {
        const cv::Mat& c = k == 0 ? cx : cy;
        q.field(k, 2) = c.at<double>(0);
        if (c.rows >= 3) {
            q.field(k, 0) = c.at<double>(1) / scale;
            q.field(k, 1) = c.at<double>(2) / scale;
            q.field(k, 2) -= (c.at<double>(1) * origin.x + c.at<double>(2) * origin.y) / scale;
        }
    }
    if (through) {
        // Shifts compose by adding (to first order): the band against the via band, plus the via
        // band against the reference.
        q.field += through->field;
        q.medianShift += through->medianShift;
        q.uncertainty = std::hypot(q.uncertainty, through->uncertainty);
    }
    q.measured = q.uncertainty <= options.maxUncertainty && (!through || through->measured);
    std::vector<float> lengths;
    for (size_t i = 0; i < samples.size(); ++i) {
        const cv::Point2d f = q.fieldAt(samples[i].centre);
        lengths.push_back(float(std::hypot(f.x, f.y)));
        if (dev[i] > std::max(1.0, 3.0 * q.scatter)) ++q.disagreeing;
    }
    std::sort(lengths.begin(), lengths.end());
    q.median = percentileOf(lengths, 50.0);
    q.p90 = percentileOf(lengths, 90.0);
    return q;
}

BandQuality measureBandQuality(const cv::Mat& fixed, const cv::Mat& moving, const BandQualityOptions& options,
                               const cv::Mat& fixedGradient) {
    int grid = 0;
    const std::vector<BandShiftSample> samples = measureBandShifts(fixed, moving, options, fixedGradient, &grid);
    return summarizeBandShifts(samples, grid, options);
}

BandQuality measureBandQualityThrough(const cv::Mat& via, const BandQuality& viaQuality, const cv::Mat& moving,
                                      const BandQualityOptions& options) {
    int grid = 0;
    const std::vector<BandShiftSample> samples = measureBandShifts(via, moving, options, cv::Mat(), &grid);
    return summarizeBandShifts(samples, grid, options, &viaQuality);
}

double medianShift(const std::vector<BandShiftSample>& samples) {
    if (samples.empty()) return -1;
    std::vector<double> v;
    for (const auto& s : samples) v.push_back(std::hypot(s.shift.x, s.shift.y));
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

cv::Mat falseColour(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue) {
    cv::Mat out;
    cv::merge(std::vector<cv::Mat>{stretch(blue), stretch(green), stretch(red)}, out);
    return out;
}

}  // namespace refl
