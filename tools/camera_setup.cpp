#include "camera_setup.h"

#include <QtGlobal>
#include <cmath>
#include <opencv2/calib3d.hpp>

namespace reflsample {

QString layoutName(RawLayout layout) {
    switch (layout) {
        case RawLayout::VOne:
            return QStringLiteral("V_One");
        case RawLayout::VTwo:
            return QStringLiteral("V_Two");
        case RawLayout::Keyed:
            return QStringLiteral("keyed");
    }
    return QString();
}

bool layoutFromName(const QString& name, RawLayout* layout) {
    const QString n = name.toLower();
    if (n == "v_one" || n == "vone" || n == "v1") {
        *layout = RawLayout::VOne;
    } else if (n == "v_two" || n == "vtwo" || n == "v2") {
        *layout = RawLayout::VTwo;
    } else if (n == "keyed" || n == "nm") {
        *layout = RawLayout::Keyed;
    } else {
        return false;
    }
    return true;
}

CameraSpec cameraSpecFor(int cameraType, int width, int height) {
    CameraSpec c;
    c.cameraType = cameraType;
    c.make = QStringLiteral("Quorvin");
    switch (cameraType) {
        case 3:
            // Size follows from the panel-outline scaling of this type (x 1.6875, y 2.6667 of a 640 x 480
            // view).
            c.serial = "CD2207B0041";
            c.model = "ZN4150";
            c.fullWidth = 1080;
            c.fullHeight = 1280;
            c.pixelSizeUm = c.xmpPixelSizeUm = 2.7;
            c.focalMm = 5.2;
            c.wavelengths = {555, 660, 720, 840};
            break;
        case 4:
            c.serial = "CG2302C0112";
            c.model = "TR310";
            c.fullWidth = 2048;
            c.fullHeight = 1536;
            c.pixelSizeUm = c.xmpPixelSizeUm = 3.45;
            c.focalMm = 7.84;
            c.wavelengths = {450, 555, 660, 720, 840};
            break;
        case 6:
            // The lens correction of this type reads the millimetre keys with a fixed 3.45 um pitch.
            c.serial = "CW2401D0098";
            c.model = "GL520";
            c.fullWidth = 4112;
            c.fullHeight = 3008;
            c.pixelSizeUm = 3.75;
            c.xmpPixelSizeUm = 3.45;
            c.focalMm = 5.2;
            c.wavelengths = {450, 555, 660, 720, 750, 840};
            break;
        default:
            c.cameraType = 0;
            c.serial = "CA2104A0173";
            c.model = "PV760";
            c.fullWidth = 1280;
            c.fullHeight = 960;
            c.pixelSizeUm = c.xmpPixelSizeUm = 3.75;
            c.focalMm = 5.2;
            c.wavelengths = {450, 555, 660, 720, 750, 840};
            break;
    }
    c.width = c.fullWidth;
    c.height = c.fullHeight;
    if (c.cameraType != 0 && width > 0 && height > 0) {
        c.width = width;
        c.height = height;
    }
    return c;
}

bool modelUsesMilliseconds(const QString& model) {
    return model == "PV760" || model == "PV740" || model == "TR310";
}

QString numberText(double value) { return QString::number(value, 'g', 9); }

double roundTripped(double value) { return numberText(value).toDouble(); }

double vignettingP(const BandTruth& b, double x1, double y1) {
    const double r = std::sqrt((y1 - b.vignettingCentreY) * (y1 - b.vignettingCentreY) +
                               (x1 - b.vignettingCentreX) * (x1 - b.vignettingCentreX));
    double p = 1.0, rn = 1.0;
    for (double kk : b.k) {
        rn *= r;
        p += kk * rn;
    }
    return p;
}

namespace {

/// Focal length in pixels at full size, before per-band variation.
double nominalFocalPx(const CameraSpec& cam) {
    if (cam.cameraType == 6) return cam.fullWidth * (5.2 / 3.75e-3) / 1280.0;  // same field as type 0
    return cam.focalMm / (cam.pixelSizeUm / 1000.0);
}

cv::Matx33d rotationFromVector(double rx, double ry, double rz) {
    cv::Matx33d R;
    cv::Rodrigues(cv::Vec3d(rx, ry, rz), R);
    return R;
}

void fillHomographies(QVector<BandTruth>& bands, int ref, const CameraSpec& cam) {
    const cv::Size size(cam.width, cam.height);
    const BandTruth& r = bands[ref];
    auto newMatrix = [&](const BandTruth& b) {
        if (cam.cameraType == 6) return b.K;  // that correction keeps K as the new matrix
        cv::Mat d = (cv::Mat_<double>(5, 1) << b.D[0], b.D[1], b.D[2], b.D[3], 0.0);
        cv::Mat nk = cv::getOptimalNewCameraMatrix(cv::Mat(b.K), d, size, 0.0, size, nullptr, false);
        return cv::Matx33d(nk);
    };
    const cv::Matx33d refNew = newMatrix(r);
    // Grid of raw reference-band pixels for the distorted fit.
    for (BandTruth& b : bands) {
        b.refFromBand = r.K * b.bandFromRef.t() * b.K.inv();
        b.refFromBand *= 1.0 / b.refFromBand(2, 2);
        b.refFromBandCorrected = refNew * b.bandFromRef.t() * newMatrix(b).inv();
        b.refFromBandCorrected *= 1.0 / b.refFromBandCorrected(2, 2);

        std::vector<cv::Point2f> src;
        const int step = std::max(8, cam.width / 24);
        for (int y = step / 2; y < cam.height; y += step)
            for (int x = step / 2; x < cam.width; x += step) src.emplace_back(float(x), float(y));
        std::vector<cv::Point2f> norm;
        cv::undistortPoints(src, norm, cv::Mat(b.K), cv::Mat(b.D), cv::noArray(), cv::noArray(),
                            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 1e-12));
        std::vector<cv::Point3f> rays;
        const cv::Matx33d refFromBandRot = b.bandFromRef.t();
        for (const auto& n : norm) {
            cv::Vec3d v = refFromBandRot * cv::Vec3d(n.x, n.y, 1.0);
            rays.emplace_back(float(v[0] / v[2]), float(v[1] / v[2]), 1.0f);
        }
        std::vector<cv::Point2f> dst;
        cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(r.K), cv::Mat(r.D), dst);
        cv::Mat h = cv::findHomography(src, dst, 0);
        b.refFromBandRaw = h.empty() ? cv::Matx33d::eye() : cv::Matx33d(h);
        double sum = 0;
        for (size_t i = 0; i < src.size(); ++i) {
            cv::Vec3d p = b.refFromBandRaw * cv::Vec3d(src[i].x, src[i].y, 1.0);
            const double dx = p[0] / p[2] - dst[i].x, dy = p[1] / p[2] - dst[i].y;
            sum += dx * dx + dy * dy;
        }
        b.rawFitRmsPx = src.empty() ? 0.0 : std::sqrt(sum / double(src.size()));
    }
}

}  // namespace

QVector<BandTruth> makeBands(const CameraSpec& cam, quint32 seed, double maxRotationDeg, double maxShiftPx,
                             double maxScale, double distortionScale, int* referenceBand) {
    cv::RNG rng(0x9E3779B97F4A7C15ULL ^ (quint64(seed) * 2654435761ULL));
    const int n = cam.wavelengths.size();
    int ref = cam.wavelengths.indexOf(660);
    if (ref < 0) ref = n / 2;
    if (referenceBand) *referenceBand = ref;

    const double sizeScale = double(cam.width) / double(cam.fullWidth);
    const double fNominal = nominalFocalPx(cam) * sizeScale;
    const double pixelMm = cam.xmpPixelSizeUm / 1000.0;
    const double fRef = fNominal * (1.0 + rng.uniform(-0.004, 0.004));
    const double shiftMax = maxShiftPx * sizeScale;
    const double halfDiag = 0.5 * std::hypot(double(cam.width), double(cam.height));

    QVector<BandTruth> bands(n);
    for (int i = 0; i < n; ++i) {
        BandTruth& b = bands[i];
        b.index = i;
        b.wavelengthNm = cam.wavelengths[i];
        b.label = QString::number(b.wavelengthNm) + "nm";

        // Lens, written in millimetres and read back exactly as the readers do.
        const double f = (i == ref) ? fRef : fRef * (1.0 + rng.uniform(-maxScale, maxScale));
        const double cx = 0.5 * cam.width - 0.5 + rng.uniform(-0.006, 0.006) * cam.width;
        const double cy = 0.5 * cam.height - 0.5 + rng.uniform(-0.006, 0.006) * cam.width;
        b.xmpFocalMm = roundTripped(f * pixelMm);
        b.xmpPrincipalXMm = roundTripped(cx * pixelMm);
        b.xmpPrincipalYMm = roundTripped(cy * pixelMm);
        const double fr = b.xmpFocalMm / pixelMm;
        b.K = cv::Matx33d(fr, 0, b.xmpPrincipalXMm / pixelMm, 0, fr, b.xmpPrincipalYMm / pixelMm, 0, 0, 1);
        const double s = distortionScale;
        b.D = cv::Vec<double, 5>(roundTripped(-(0.06 + 0.06 * rng.uniform(0.0, 1.0)) * s),
                                 roundTripped((0.04 + 0.08 * rng.uniform(0.0, 1.0)) * s),
                                 roundTripped(rng.uniform(-4e-4, 4e-4) * s),
                                 roundTripped(rng.uniform(-4e-4, 4e-4) * s), 0.0);
        if (cam.cameraType == 6) {
            // This camera writes all five coefficients, and its lens correction takes a zero among them
            // for "no lens model" (it then falls back to a built-in full-size lens): never write one.
            // The stand-in is far too small to move a pixel.
            for (int k = 0; k < 5; ++k)
                if (b.D[k] == 0.0) b.D[k] = 1e-9;
        }
        b.xmpK = b.K;
        b.xmpD = b.D;

        // Misalignment: a roll about the optical axis plus a tilt that shifts the image.
        if (i == ref) {
            b.bandFromRef = cv::Matx33d::eye();
        } else {
            const double roll = rng.uniform(-1.0, 1.0) * maxRotationDeg * CV_PI / 180.0;
            const double mag = rng.uniform(0.4, 1.0) * shiftMax;
            const double dir = rng.uniform(0.0, 2.0 * CV_PI);
            b.bandFromRef = rotationFromVector(mag * std::sin(dir) / fr, -mag * std::cos(dir) / fr, roll);
        }

        // Radiometry: DN - dark = L (c1 t g + c2) a0 / P(r), about 36000 DN at L = 1 in the centre.
        const double fullScale = rng.uniform(33000.0, 39000.0);
        b.a0 = roundTripped(rng.uniform(0.85, 1.15));
        b.c2 = roundTripped(rng.uniform(0.01, 0.03) * fullScale / b.a0);
        b.c1 = roundTripped((fullScale / b.a0 - b.c2) / 1.5);  // nominal exposure 1.5 (ms or ratio x gain)
        b.vignettingCentreX = roundTripped(cx + 1.0 + rng.uniform(-8.0, 8.0) * sizeScale);
        b.vignettingCentreY = roundTripped(cy + 1.0 + rng.uniform(-8.0, 8.0) * sizeScale);
        const double alpha = rng.uniform(0.35, 0.55), beta = rng.uniform(0.05, 0.15);
        const double R = halfDiag;
        b.k[0] = roundTripped(rng.uniform(-0.02, 0.02) / R);
        b.k[1] = roundTripped(alpha / (R * R));
        b.k[2] = roundTripped(rng.uniform(-0.02, 0.02) / (R * R * R));
        b.k[3] = roundTripped(beta / (R * R * R * R));
        b.k[4] = roundTripped(rng.uniform(-0.01, 0.01) / std::pow(R, 5));
        b.k[5] = roundTripped(rng.uniform(-0.005, 0.005) / std::pow(R, 6));
        b.darkLevel = 4700 + rng.uniform(0, 200);
        b.irradiance = roundTripped(rng.uniform(0.85, 1.0));
        b.noiseReadDn = 6.0;
        b.noiseShotFactor = 0.25;
        b.jpgFactorNum = rng.uniform(90, 101);
        b.jpgFactorDen = 100;
    }
    fillHomographies(bands, ref, cam);
    return bands;
}

void applyXmpLensError(QVector<BandTruth>& bands, const CameraSpec& cam, quint32 seed, double scale) {
    if (!(scale > 0.0)) return;
    cv::RNG rng(0xC2B2AE3D27D4EB4FULL ^ (quint64(seed) * 0x165667B19E3779F9ULL));
    const double pixelMm = cam.xmpPixelSizeUm / 1000.0;
    auto sign = [&rng]() { return rng.uniform(0.0, 1.0) < 0.5 ? -1.0 : 1.0; };
    for (BandTruth& b : bands) {
        const double f = b.K(0, 0) * (1.0 + sign() * rng.uniform(0.005, 0.015) * scale);
        const double shift = rng.uniform(0.008, 0.015) * scale * cam.width;
        const double dir = rng.uniform(0.0, 2.0 * CV_PI);
        b.xmpFocalMm = roundTripped(f * pixelMm);
        b.xmpPrincipalXMm = roundTripped((b.K(0, 2) + shift * std::cos(dir)) * pixelMm);
        b.xmpPrincipalYMm = roundTripped((b.K(1, 2) + shift * std::sin(dir)) * pixelMm);
        const double fr = b.xmpFocalMm / pixelMm;
        b.xmpK = cv::Matx33d(fr, 0, b.xmpPrincipalXMm / pixelMm, 0, fr, b.xmpPrincipalYMm / pixelMm, 0, 0, 1);
        b.xmpD = cv::Vec<double, 5>(roundTripped(b.D[0] + sign() * rng.uniform(0.02, 0.04) * scale),
                                    roundTripped(b.D[1] + sign() * rng.uniform(0.01, 0.03) * scale),
                                    roundTripped(b.D[2] + rng.uniform(-3e-4, 3e-4) * scale),
                                    roundTripped(b.D[3] + rng.uniform(-3e-4, 3e-4) * scale), b.D[4]);
    }
}

void applyXmpFocalError(QVector<BandTruth>& bands, const CameraSpec& cam, double pct) {
    if (!(pct > 0.0)) return;
    const double pixelMm = cam.xmpPixelSizeUm / 1000.0;
    for (int i = 0; i < bands.size(); ++i) {
        BandTruth& b = bands[i];
        b.xmpFocalMm = roundTripped(b.K(0, 0) * (1.0 + (i % 2 ? -pct : pct) / 100.0) * pixelMm);
        const double fr = b.xmpFocalMm / pixelMm;
        b.xmpK(0, 0) = fr;
        b.xmpK(1, 1) = fr;
    }
}

}  // namespace reflsample
