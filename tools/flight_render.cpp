#include "flight_render.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace reflsample {

namespace {

const cv::TermCriteria kUndistortCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 40, 1e-12);

/// Directions (reference camera frame, z = 1) of raw band pixels.
std::vector<cv::Point2d> refRaysOf(const BandTruth& band, const std::vector<cv::Point2f>& pixels) {
    std::vector<cv::Point2f> norm;
    cv::undistortPoints(pixels, norm, cv::Mat(band.K), cv::Mat(band.D), cv::noArray(), cv::noArray(),
                        kUndistortCriteria);
    const cv::Matx33d refFromBand = band.bandFromRef.t();
    std::vector<cv::Point2d> out;
    out.reserve(norm.size());
    for (const auto& n : norm) {
        const cv::Vec3d v = refFromBand * cv::Vec3d(n.x, n.y, 1.0);
        out.emplace_back(v[0] / v[2], v[1] / v[2]);
    }
    return out;
}

}  // namespace

VirtualCamera makeVirtualCamera(const QVector<BandTruth>& bands, int ref, cv::Size size) {
    std::vector<cv::Point2f> border;
    const int step = 8;
    for (int x = 0; x <= size.width; x += step) {
        border.emplace_back(float(std::min(x, size.width - 1)), 0.f);
        border.emplace_back(float(std::min(x, size.width - 1)), float(size.height - 1));
    }
    for (int y = 0; y <= size.height; y += step) {
        border.emplace_back(0.f, float(std::min(y, size.height - 1)));
        border.emplace_back(float(size.width - 1), float(std::min(y, size.height - 1)));
    }
    const double f = bands[ref].K(0, 0);
    double x0 = 1e30, x1 = -1e30, y0 = 1e30, y1 = -1e30;
    for (const BandTruth& b : bands) {
        for (const auto& r : refRaysOf(b, border)) {
            x0 = std::min(x0, f * r.x);
            x1 = std::max(x1, f * r.x);
            y0 = std::min(y0, f * r.y);
            y1 = std::max(y1, f * r.y);
        }
    }
    const double margin = 4.0;
    VirtualCamera vc;
    vc.K = cv::Matx33d(f, 0, -x0 + margin, 0, f, -y0 + margin, 0, 0, 1);
    vc.size = cv::Size(int(std::ceil(x1 - x0 + 2 * margin)), int(std::ceil(y1 - y0 + 2 * margin)));
    return vc;
}

void buildBandMap(const BandTruth& band, const VirtualCamera& vc, cv::Size size, cv::Mat* mapX,
                  cv::Mat* mapY) {
    // Exact on a 4-pixel grid, bilinear in between (the mapping is smooth).
    const int step = 4;
    const int gw = (size.width - 1) / step + 2, gh = (size.height - 1) / step + 2;
    std::vector<cv::Point2f> grid;
    grid.reserve(size_t(gw) * size_t(gh));
    for (int j = 0; j < gh; ++j)
        for (int i = 0; i < gw; ++i) grid.emplace_back(float(i * step), float(j * step));
    const std::vector<cv::Point2d> rays = refRaysOf(band, grid);
    const double f = vc.K(0, 0), cx = vc.K(0, 2), cy = vc.K(1, 2);
    mapX->create(size, CV_32F);
    mapY->create(size, CV_32F);
    for (int y = 0; y < size.height; ++y) {
        const int j = y / step;
        const double ty = double(y - j * step) / step;
        float* mx = mapX->ptr<float>(y);
        float* my = mapY->ptr<float>(y);
        for (int x = 0; x < size.width; ++x) {
            const int i = x / step;
            const double tx = double(x - i * step) / step;
            const cv::Point2d& a = rays[size_t(j) * gw + i];
            const cv::Point2d& b = rays[size_t(j) * gw + i + 1];
            const cv::Point2d& c = rays[size_t(j + 1) * gw + i];
            const cv::Point2d& d = rays[size_t(j + 1) * gw + i + 1];
            const cv::Point2d r = (1 - ty) * ((1 - tx) * a + tx * b) + ty * ((1 - tx) * c + tx * d);
            mx[x] = float(cx + f * r.x);
            my[x] = float(cy + f * r.y);
        }
    }
}

cv::Point2d projectToBand(const BandTruth& band, const cv::Vec3d& refRay) {
    const cv::Vec3d v = band.bandFromRef * refRay;
    std::vector<cv::Point3d> pts{cv::Point3d(v[0], v[1], v[2])};
    std::vector<cv::Point2d> out;
    cv::projectPoints(pts, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(band.K), cv::Mat(band.D), out);
    return out[0];
}

std::vector<cv::Mat> renderSceneView(const GroundScene& scene, const VirtualCamera& vc,
                                     const cv::Vec3d& centre, const cv::Matx33d& camFromWorld,
                                     int bandCount) {
    const cv::Matx33d worldFromCam = camFromWorld.t();
    const cv::Matx33d Kinv = vc.K.inv();
    // Cull buildings and trees to the footprint (ground-plane corners, widened for relief).
    double x0 = 1e30, x1 = -1e30, y0 = 1e30, y1 = -1e30;
    for (int c = 0; c < 4; ++c) {
        const cv::Vec3d d =
            worldFromCam * (Kinv * cv::Vec3d((c & 1) ? vc.size.width : 0, (c & 2) ? vc.size.height : 0, 1.0));
        const double t = -centre[2] / d[2];
        x0 = std::min(x0, centre[0] + t * d[0]);
        x1 = std::max(x1, centre[0] + t * d[0]);
        y0 = std::min(y0, centre[1] + t * d[1]);
        y1 = std::max(y1, centre[1] + t * d[1]);
    }
    std::vector<int> buildings, trees;
    scene.primitivesIn(x0 - 15, x1 + 15, y0 - 15, y1 + 15, &buildings, &trees);

    std::vector<cv::Mat> planes(static_cast<size_t>(bandCount));
    for (auto& p : planes) p.create(vc.size, CV_32F);
    cv::parallel_for_(cv::Range(0, vc.size.height), [&](const cv::Range& rows) {
        std::vector<float> refl(static_cast<size_t>(bandCount));
        for (int v = rows.start; v < rows.end; ++v) {
            for (int u = 0; u < vc.size.width; ++u) {
                cv::Vec3d d = worldFromCam * (Kinv * cv::Vec3d(u, v, 1.0));
                d *= 1.0 / cv::norm(d);
                const SceneHit hit = scene.cast(centre, d, buildings, trees);
                scene.reflectances(hit, refl.data());
                for (int b = 0; b < bandCount; ++b) planes[size_t(b)].ptr<float>(v)[u] = refl[size_t(b)];
            }
        }
    });
    return planes;
}

std::vector<cv::Mat> renderPanelView(const PanelBoard& board, const GroundScene& scene,
                                     const VirtualCamera& vc, const QVector<int>& wavelengths,
                                     const QVector<double>& grey) {
    const int nb = wavelengths.size();
    std::vector<cv::Mat> planes(static_cast<size_t>(nb));
    for (auto& p : planes) p.create(vc.size, CV_32F);
    cv::parallel_for_(cv::Range(0, vc.size.height), [&](const cv::Range& rows) {
        std::vector<float> backdrop(static_cast<size_t>(nb));
        for (int v = rows.start; v < rows.end; ++v) {
            for (int u = 0; u < vc.size.width; ++u) {
                // About 1 cm of ground per pixel, far from the flight's own scene objects.
                scene.reflectances(scene.groundHit(500.0 + u * 0.01, 500.0 + v * 0.01), backdrop.data());
                int counts[4] = {0, 0, 0, 0};
                for (int sy = 0; sy < 3; ++sy)
                    for (int sx = 0; sx < 3; ++sx)
                        ++counts[board.regionAt(u - 1.0 / 3.0 + sx / 3.0, v - 1.0 / 3.0 + sy / 3.0)];
                for (int b = 0; b < nb; ++b) {
                    const double r = counts[PanelBoard::kOutside] * backdrop[size_t(b)] +
                                     counts[PanelBoard::kWhite] * 0.85 + counts[PanelBoard::kDark] * 0.04 +
                                     counts[PanelBoard::kGrey] * grey[b];
                    planes[size_t(b)].ptr<float>(v)[u] = float(r / 9.0);
                }
            }
        }
    });
    return planes;
}

cv::Mat radianceToDn(const cv::Mat& radiance, const BandTruth& b, double exposure, double gain,
                     double noiseScale, quint64 noiseSeed) {
    cv::Mat dn(radiance.size(), CV_16U);
    cv::RNG rng(noiseSeed);
    const double scale = (b.c1 * exposure * gain + b.c2) * b.a0;
    for (int y = 0; y < radiance.rows; ++y) {
        const float* l = radiance.ptr<float>(y);
        quint16* out = dn.ptr<quint16>(y);
        for (int x = 0; x < radiance.cols; ++x) {
            const double d = l[x] * scale / vignettingP(b, x + 1.0, y + 1.0);
            double v = b.darkLevel + d;
            if (noiseScale > 0) {
                const double var = b.noiseReadDn * b.noiseReadDn + b.noiseShotFactor * std::max(d, 0.0);
                v += rng.gaussian(noiseScale * std::sqrt(var));
            }
            out[x] = quint16(std::clamp(std::lround(v), 0L, 65535L));
        }
    }
    return dn;
}

}  // namespace reflsample
