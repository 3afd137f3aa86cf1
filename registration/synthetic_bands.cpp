#include "synthetic_bands.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace refl {

namespace {

constexpr int kBands = 5;
constexpr int kMaterials = 7;
// Reflectance per material (rows) and band (475, 560, 660, 717, 842 nm).
const double kReflectance[kMaterials][kBands] = {
    {0.12, 0.16, 0.20, 0.22, 0.25},  // bare soil
    {0.03, 0.08, 0.04, 0.25, 0.45},  // grass
    {0.08, 0.09, 0.10, 0.10, 0.11},  // asphalt
    {0.30, 0.28, 0.35, 0.33, 0.32},  // roofs
    {0.06, 0.05, 0.03, 0.02, 0.01},  // water
    {0.02, 0.05, 0.03, 0.20, 0.40},  // trees
    {0.25, 0.27, 0.28, 0.29, 0.30},  // concrete
};

cv::Mat smoothNoise(cv::RNG& rng, cv::Size size, double sigma) {
    cv::Mat n(size, CV_32F);
    rng.fill(n, cv::RNG::NORMAL, 0.0, 1.0);
    cv::GaussianBlur(n, n, cv::Size(0, 0), sigma);
    cv::Scalar mean, stdDev;
    cv::meanStdDev(n, mean, stdDev);
    n = (n - mean[0]) / (stdDev[0] + 1e-12);
    return n;
}

cv::Point randomPoint(cv::RNG& rng, cv::Size size) {
    return {rng.uniform(0, size.width), rng.uniform(0, size.height)};
}

cv::Mat materialMap(cv::RNG& rng, cv::Size size) {
    cv::Mat mat(size, CV_8U, cv::Scalar(0));
    const double scale = std::sqrt(static_cast<double>(size.area()) / (400.0 * 300.0));
    // Fields: large convex polygons of soil or grass.
    for (int i = 0; i < 14; ++i) {
        std::vector<cv::Point> poly;
        const cv::Point c = randomPoint(rng, size);
        const int corners = rng.uniform(4, 7);
        for (int k = 0; k < corners; ++k) {
            const double a = 2 * CV_PI * k / corners + rng.uniform(-0.3, 0.3);
            const double r = scale * rng.uniform(30.0, 110.0);
            poly.emplace_back(c.x + static_cast<int>(r * std::cos(a)),
                              c.y + static_cast<int>(r * std::sin(a)));
        }
        cv::fillConvexPoly(mat, poly, cv::Scalar(rng.uniform(0, 2)), cv::LINE_8);
    }
    // Water body.
    cv::ellipse(mat, randomPoint(rng, size),
                cv::Size(static_cast<int>(scale * rng.uniform(20, 50)),
                         static_cast<int>(scale * rng.uniform(12, 30))),
                rng.uniform(0.0, 180.0), 0, 360, cv::Scalar(4), cv::FILLED);
    // Roads.
    for (int i = 0; i < 4; ++i)
        cv::line(mat, randomPoint(rng, size), randomPoint(rng, size), cv::Scalar(2),
                 std::max(2, static_cast<int>(scale * rng.uniform(3, 8))));
    // Buildings: rotated rectangles of roofs and concrete yards.
    for (int i = 0; i < 30; ++i) {
        const cv::RotatedRect box(randomPoint(rng, size),
                                  cv::Size2f(static_cast<float>(scale * rng.uniform(6, 26)),
                                             static_cast<float>(scale * rng.uniform(6, 20))),
                                  static_cast<float>(rng.uniform(0.0, 180.0)));
        cv::Point2f p[4];
        box.points(p);
        std::vector<cv::Point> poly(p, p + 4);
        cv::fillConvexPoly(mat, poly, cv::Scalar(rng.uniform(0, 4) == 0 ? 6 : 3), cv::LINE_8);
    }
    // Trees.
    for (int i = 0; i < 120; ++i)
        cv::circle(mat, randomPoint(rng, size), std::max(1, static_cast<int>(scale * rng.uniform(2, 6))),
                   cv::Scalar(5), cv::FILLED);
    return mat;
}

cv::Mat bandHomography(cv::RNG& rng, cv::Size size) {
    const double angle = rng.uniform(-0.6, 0.6) * CV_PI / 180.0;
    const double s = 1.0 + rng.uniform(-0.012, 0.012);
    const double tx = rng.uniform(-0.04, 0.04) * size.width;
    const double ty = rng.uniform(-0.04, 0.04) * size.height;
    const double cx = size.width / 2.0, cy = size.height / 2.0;
    cv::Mat H =
        (cv::Mat_<double>(3, 3) << s * std::cos(angle), -s * std::sin(angle), 0,  //
         s * std::sin(angle), s * std::cos(angle), 0,                             //
         rng.uniform(-2e-5, 2e-5) * 400.0 / size.width, rng.uniform(-2e-5, 2e-5) * 400.0 / size.width, 1);
    // Rotate and scale about the image centre, then shift.
    const cv::Mat toCentre = (cv::Mat_<double>(3, 3) << 1, 0, -cx, 0, 1, -cy, 0, 0, 1);
    const cv::Mat back = (cv::Mat_<double>(3, 3) << 1, 0, cx + tx, 0, 1, cy + ty, 0, 0, 1);
    cv::Mat out = back * H * toCentre;
    return out / out.at<double>(2, 2);
}

}  // namespace

SyntheticCapture makeSyntheticCapture(unsigned seed, cv::Size size, double noiseSigma) {
    cv::RNG rng(seed * 7919u + 17u);
    SyntheticCapture cap;
    cap.bandNames = {"475nm", "560nm", "660nm", "717nm", "842nm"};
    const int margin = std::max(size.width, size.height) / 8 + 8;
    const cv::Size canvas(size.width + 2 * margin, size.height + 2 * margin);
    const cv::Mat materials = materialMap(rng, canvas);
    const cv::Mat textureA = smoothNoise(rng, canvas, 1.2);
    const cv::Mat textureB = smoothNoise(rng, canvas, 3.0);
    const cv::Mat canvasFromRef = (cv::Mat_<double>(3, 3) << 1, 0, margin, 0, 1, margin, 0, 0, 1);

    for (int b = 0; b < kBands; ++b) {
        cv::Mat refFromBand =
            b == cap.referenceIndex ? cv::Mat::eye(3, 3, CV_64F) : bandHomography(rng, size);
        cap.trueRefFromBand.push_back(refFromBand);
        // Texture is partly shared between bands and partly band specific.
        const double mixA = 0.6 + 0.08 * b, mixB = 1.0 - mixA;
        cv::Mat radiance(canvas, CV_32F);
        for (int y = 0; y < canvas.height; ++y) {
            const uchar* m = materials.ptr<uchar>(y);
            const float* ta = textureA.ptr<float>(y);
            const float* tb = textureB.ptr<float>(y);
            float* out = radiance.ptr<float>(y);
            for (int x = 0; x < canvas.width; ++x) {
                const double rho = kReflectance[m[x]][b];
                out[x] =
                    static_cast<float>(rho * (1.0 + 0.25 * (mixA * ta[x] + mixB * tb[x] * (b % 2 ? 1 : -1))));
            }
        }
        cv::GaussianBlur(radiance, radiance, cv::Size(0, 0), 0.7);  // optics
        // Band pixel p sees canvas point canvasFromRef * refFromBand * p.
        cv::Mat band;
        cv::warpPerspective(radiance, band, canvasFromRef * refFromBand, size,
                            cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT_101);
        cv::Mat noise(size, CV_32F);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, noiseSigma);
        const double gain = 1.0 + 0.25 * b;  // per-band exposure and sensitivity
        cv::Mat dn = (band * gain + noise + 0.02) * 65535.0;
        dn.convertTo(band, CV_16U);
        cap.bands.push_back(band);
    }
    return cap;
}

std::vector<double> cornerErrors(const cv::Mat& estimated, const cv::Mat& truth, cv::Size size) {
    std::vector<cv::Point2d> corners = {
        {0, 0}, {size.width - 1.0, 0}, {size.width - 1.0, size.height - 1.0}, {0, size.height - 1.0}};
    std::vector<cv::Point2d> a, b;
    cv::perspectiveTransform(corners, a, estimated);
    cv::perspectiveTransform(corners, b, truth);
    std::vector<double> out;
    for (size_t i = 0; i < corners.size(); ++i) out.push_back(std::hypot(a[i].x - b[i].x, a[i].y - b[i].y));
    return out;
}

}  // namespace refl
