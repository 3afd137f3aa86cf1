// Residual misalignment between two bands of one capture, measured independently of the features
// that registered them: phase correlation of gradient-magnitude images over a grid of windows. The
// gradient magnitude keeps edges where the bands invert their contrast (vegetation is dark in red and
// bright in near infrared), and phase correlation ignores the remaining differences of gain.
#pragma once

#include <QString>
#include <limits>
#include <opencv2/core.hpp>
#include <vector>

namespace refl {

struct BandShiftSample {
    cv::Point2d centre;  // window centre, pixels
    cv::Point2d shift;   // displacement of `moving` against `fixed`: moving(x) ~ fixed(x - shift)
    double response = 0; // height of the normalised correlation peak, 0..1
};

struct BandQualityOptions {
    int window = 128;  // side of a measurement window, pixels (a power of two keeps the transforms fast)
    int step = 96;     // spacing of the window grid, pixels
    // A window counts when its correlation peak reaches this height. Windows of unrelated content
    // peak at about 0.04 on 128-pixel windows; bands registered onto each other at 0.17 and above.
    double minResponse = 0.08;
    // Fewer usable windows than this, or a fitted field less certain than `maxUncertainty` pixels,
    // and the band cannot be measured: a small number from a handful of noisy windows would be a guess.
    int minWindows = 8;
    double maxUncertainty = 0.08;
    // Each window's shift refined by a dense, gain-invariant translation fit (enhanced correlation)
    // started from the correlation peak: it uses every pixel of the window, where the peak's sub-pixel
    // position rests on three samples of the surface.
    bool refineWindows = true;
    // Empty when the options can be used, else which one is out of range.
    QString validate() const;
};

// The residual misalignment is the affine shift field fitted to the windows' shifts (windows far
// from the field left out), taken at the windows: one window's shift carries the noise of its pixels
// (a quarter pixel on dark, plain bands), the field over dozens of windows does not (a band registered
// by a homography is off by a nearly affine field). Windows that disagree with the field are counted: a
// band that is off in parts shows as many of them.
struct BandQuality {
    int gridWindows = 0;  // windows lying inside the valid area of both bands
    int windows = 0;      // of those, the usable ones (clear peak, shift within a quarter window)
    bool measured = false;  // enough usable windows for the figures below to mean something
    double median = std::numeric_limits<double>::quiet_NaN();  // residual shift length, pixels
    double p90 = std::numeric_limits<double>::quiet_NaN();
    cv::Point2d medianShift;  // median of the shift vectors (a shift common to the whole band)
    double scatter = std::numeric_limits<double>::quiet_NaN();  // robust spread of windows about the field
    double uncertainty = std::numeric_limits<double>::quiet_NaN();  // standard error of the field, pixels
    int disagreeing = 0;  // usable windows more than a pixel (and three spreads) off the field
    // The fitted shift field in pixel coordinates: shift at (x, y) = field * (x, y, 1).
    cv::Matx23d field = cv::Matx23d::zeros();
    cv::Point2d fieldAt(const cv::Point2d& p) const {
        return {field(0, 0) * p.x + field(0, 1) * p.y + field(0, 2), field(1, 0) * p.x + field(1, 1) * p.y + field(1, 2)};
    }
    // More than this share of disagreeing windows: the band does not move as one piece.
    bool inconsistent() const { return measured && disagreeing > 0.3 * windows; }
};

// Gradient magnitude of a band (float, lightly smoothed), the image the measure correlates.
cv::Mat alignmentGradient(const cv::Mat& band);

// Shift of one window pair by phase correlation with a sub-pixel peak. `a` and `b` are float images of
// the same square size; `hann` is the window applied to both.
BandShiftSample correlateWindows(const cv::Mat& a, const cv::Mat& b, const cv::Mat& hann);

// Windows on a grid; windows with blank (zero) pixels in either band, a weak peak or a shift beyond a
// quarter of the window are left out. `fixedGradient`/`movingGradient` may be given when already
// computed (else empty).
std::vector<BandShiftSample> measureBandShifts(const cv::Mat& fixed, const cv::Mat& moving,
                                               const BandQualityOptions& options = {},
                                               const cv::Mat& fixedGradient = cv::Mat(),
                                               int* gridWindows = nullptr);

// `through`, when given, is the measured quality of the band the samples were taken against
// (itself measured against the reference): the figures are then those of the composed field, the
// band against the reference through that band, with both uncertainties combined.
BandQuality summarizeBandShifts(const std::vector<BandShiftSample>& samples, int gridWindows,
                                const BandQualityOptions& options = {}, const BandQuality* through = nullptr);

// The quality of a band already warped into the reference geometry.
BandQuality measureBandQuality(const cv::Mat& fixed, const cv::Mat& moving, const BandQualityOptions& options = {},
                               const cv::Mat& fixedGradient = cv::Mat());

// The quality of a band against the reference measured through another band of the capture: both
// already warped into the reference geometry, `viaQuality` the via band's measured quality against the
// reference. Neighbouring bands share far more texture than the reference and a distant band do (near
// infrared and red over vegetation), so a band too plain to measure against the reference may be
// measured against its neighbour. Not measured when either step is not.
BandQuality measureBandQualityThrough(const cv::Mat& via, const BandQuality& viaQuality, const cv::Mat& moving,
                                      const BandQualityOptions& options = {});

// Median length of the shifts; -1 without samples.
double medianShift(const std::vector<BandShiftSample>& samples);

// An 8-bit BGR picture of three bands (red, green, blue channel), each stretched between its 1st
// and 99th percentile.
cv::Mat falseColour(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue);

}  // namespace refl
