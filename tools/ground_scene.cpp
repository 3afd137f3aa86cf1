#include "ground_scene.h"

#include <algorithm>
#include <cmath>

namespace reflsample {

namespace {

const int kSpectrumNm[12] = {400, 450, 500, 555, 600, 660, 700, 720, 750, 800, 840, 900};
// Reflectance at the wavelengths above, per material (order of the Material enum).
const double kSpectra[kMaterialCount][12] = {
    {0.04, 0.05, 0.07, 0.11, 0.08, 0.05, 0.10, 0.22, 0.38, 0.44, 0.45, 0.46},       // grass
    {0.03, 0.04, 0.06, 0.12, 0.07, 0.04, 0.09, 0.25, 0.45, 0.52, 0.54, 0.55},       // crop
    {0.10, 0.12, 0.14, 0.17, 0.20, 0.23, 0.25, 0.26, 0.27, 0.29, 0.30, 0.31},       // soil
    {0.07, 0.075, 0.08, 0.085, 0.09, 0.095, 0.10, 0.10, 0.105, 0.11, 0.11, 0.115},  // asphalt
    {0.15, 0.17, 0.20, 0.24, 0.27, 0.30, 0.32, 0.33, 0.34, 0.35, 0.36, 0.37},       // dirt
    {0.55, 0.58, 0.60, 0.61, 0.61, 0.62, 0.62, 0.62, 0.62, 0.62, 0.62, 0.62},       // road paint
    {0.28, 0.31, 0.33, 0.35, 0.36, 0.37, 0.37, 0.38, 0.38, 0.38, 0.39, 0.39},       // concrete roof
    {0.07, 0.07, 0.08, 0.10, 0.22, 0.33, 0.37, 0.38, 0.40, 0.42, 0.43, 0.44},       // red roof
    {0.25, 0.28, 0.27, 0.25, 0.24, 0.23, 0.23, 0.23, 0.23, 0.22, 0.22, 0.22},       // metal roof
    {0.22, 0.24, 0.26, 0.27, 0.28, 0.29, 0.29, 0.30, 0.30, 0.30, 0.31, 0.31},       // wall
    {0.03, 0.035, 0.05, 0.08, 0.05, 0.03, 0.07, 0.20, 0.35, 0.40, 0.42, 0.43},      // tree
    {0.05, 0.06, 0.06, 0.05, 0.04, 0.03, 0.025, 0.02, 0.015, 0.01, 0.01, 0.008},    // water
    {0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05},       // black tarp
    {0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22, 0.22},       // dark grey tarp
    {0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45, 0.45},       // light grey tarp
    {0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75},       // white tarp
    {0.06, 0.06, 0.07, 0.09, 0.30, 0.55, 0.58, 0.59, 0.60, 0.60, 0.60, 0.60},       // red tarp
};

quint32 hash3(qint32 x, qint32 y, quint32 s) {
    quint32 h = quint32(x) * 0x8da6b343u ^ quint32(y) * 0xd8163841u ^ s * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

double unit(quint32 h) { return double(h & 0xffffff) / double(0xffffff); }  // 0 ... 1

double smooth(double t) { return t * t * (3.0 - 2.0 * t); }

}  // namespace

double materialReflectance(int material, int nm) {
    const double* s = kSpectra[std::clamp(material, 0, kMaterialCount - 1)];
    if (nm <= kSpectrumNm[0]) return s[0];
    for (int i = 1; i < 12; ++i) {
        if (nm <= kSpectrumNm[i]) {
            const double t = double(nm - kSpectrumNm[i - 1]) / double(kSpectrumNm[i] - kSpectrumNm[i - 1]);
            return s[i - 1] + t * (s[i] - s[i - 1]);
        }
    }
    return s[11];
}

GroundScene::GroundScene(quint32 seed, double xMin, double xMax, double yMin, double yMax, double tarpX0,
                         double tarpX1, double relief)
    : seed_(seed), relief_(relief) {
    cv::RNG rng(quint64(seed) * 6364136223846793005ULL + 1442695040888963407ULL);
    for (double& p : phase_) p = rng.uniform(0.0, 2.0 * CV_PI);

    // Tarps along the flight line, slightly north of it, and the pond further north.
    const char* names[] = {"black tarp", "dark grey tarp", "light grey tarp", "white tarp", "red tarp"};
    const int mats[] = {kTarpBlack, kTarpDarkGrey, kTarpLightGrey, kTarpWhite, kTarpRed};
    for (int i = 0; i < 5; ++i) {
        Target t;
        t.name = names[i];
        t.x = tarpX0 + (tarpX1 - tarpX0) * (i + 0.5) / 5.0;
        t.y = 3.0;
        t.halfSide = 1.5;
        t.material = mats[i];
        targets_.push_back(t);
    }
    pondX_ = 0.5 * (tarpX0 + tarpX1) + rng.uniform(-5.0, 5.0);
    pondY_ = 13.0;
    pondA_ = 8.0;
    pondB_ = 4.5;
    targets_.push_back(Target{QStringLiteral("pond"), pondX_, pondY_, 3.5, kWater});

    // Buildings south of the road and north beyond the pond; trees in rows and clusters. None of them
    // lies between the flight line and the tarps, so every tarp is seen unoccluded.
    const int roofs[] = {kConcreteRoof, kRedRoof, kMetalRoof};
    for (double x = xMin + rng.uniform(0.0, 8.0); x < xMax - 8.0; x += rng.uniform(16.0, 26.0)) {
        const bool south = rng.uniform(0, 3) != 0;
        const double w = rng.uniform(7.0, 13.0), d = rng.uniform(6.0, 9.0);
        const double y0 = south ? -13.0 - d - rng.uniform(0.0, 6.0) : 20.0 + rng.uniform(0.0, 5.0);
        Box b{x, x + w, y0, y0 + d, 0, 0, roofs[rng.uniform(0, 3)]};
        b.z0 = terrainHeight(x + 0.5 * w, y0 + 0.5 * d) - 1.0;
        b.z1 = b.z0 + 1.0 + rng.uniform(4.0, 12.0);
        boxes_.push_back(b);
    }
    for (double x = xMin; x < xMax; x += rng.uniform(5.0, 9.0)) {  // row along the road
        const double r = rng.uniform(1.6, 2.6);
        const double y = -4.0 + rng.uniform(-0.3, 0.3);
        const double top = terrainHeight(x, y) + rng.uniform(6.0, 9.0);
        trees_.push_back(Tree{x, y - r * 0.2 - 0.8, top - r, r});
    }
    for (int c = 0; c < 6; ++c) {  // clusters in the fields
        const double cx = rng.uniform(xMin, xMax);
        const double cy = rng.uniform(0, 2) ? rng.uniform(9.0, yMax - 2.0) : rng.uniform(yMin + 2.0, -14.0);
        for (int k = 0; k < 5; ++k) {
            const double r = rng.uniform(1.8, 3.2);
            const double x = cx + rng.uniform(-6.0, 6.0);
            const double y = cy + rng.uniform(-5.0, 5.0);
            if ((y - r < 7.0 && y + r > -2.0) ||
                std::hypot((x - pondX_) / pondA_, (y - pondY_) / pondB_) < 1.3)
                continue;
            trees_.push_back(Tree{x, y, terrainHeight(x, y) + rng.uniform(6.0, 10.0) - r, r});
        }
    }
}

void GroundScene::setBands(const QVector<int>& wavelengths) {
    wavelengths_ = wavelengths;
    spectra_.assign(size_t(kMaterialCount) * size_t(wavelengths.size()), 0.0);
    for (int m = 0; m < kMaterialCount; ++m)
        for (int b = 0; b < wavelengths.size(); ++b)
            spectra_[size_t(m) * wavelengths.size() + b] = materialReflectance(m, wavelengths[b]);
}

void GroundScene::setGround(Ground ground) {
    ground_ = ground;
    if (ground == Ground::Mixed) return;
    boxes_.clear();
    trees_.clear();
    targets_.clear();
}

double GroundScene::terrainHeight(double x, double y) const {
    return relief_ * (1.2 * std::sin(0.045 * x + phase_[0]) * std::cos(0.06 * y + phase_[1]) +
                      0.5 * std::sin(0.11 * x + 0.07 * y + phase_[2]));
}

double GroundScene::noise(double x, double y) const {
    double sum = 0, amp = 0.5, freq = 0.25;
    for (int o = 0; o < 4; ++o) {
        const double fx = x * freq, fy = y * freq;
        const double ix = std::floor(fx), iy = std::floor(fy);
        const double tx = smooth(fx - ix), ty = smooth(fy - iy);
        const qint32 xi = qint32(ix), yi = qint32(iy);
        const quint32 s = seed_ + quint32(o) * 977u;
        const double v00 = unit(hash3(xi, yi, s)), v10 = unit(hash3(xi + 1, yi, s));
        const double v01 = unit(hash3(xi, yi + 1, s)), v11 = unit(hash3(xi + 1, yi + 1, s));
        const double v =
            (v00 + tx * (v10 - v00)) + ty * ((v01 + tx * (v11 - v01)) - (v00 + tx * (v10 - v00)));
        sum += amp * (2.0 * v - 1.0);
        amp *= 0.55;
        freq *= 2.7;
    }
    return std::clamp(sum * 1.4, -1.0, 1.0);
}

void GroundScene::groundMaterial(SceneHit* hit) const {
    const double x = hit->x, y = hit->y;
    hit->texture = 0.0;
    hit->soil = 0.0;
    if (ground_ == Ground::Canopy) {
        // Closed canopy: vigour varies gently; small gaps show the soil.
        hit->material = kCrop;
        hit->texture = 0.5 * noise(x, y);
        hit->soil = std::clamp((noise(2.3 * x - 51.0, 2.3 * y + 17.0) - 0.6) * 1.2, 0.0, 0.4);
        return;
    }
    if (ground_ == Ground::Lawn) {
        // Mown grass: fine, faint texture and the mower's stripes, 1.2 m wide each way.
        hit->material = kGrass;
        hit->texture = std::clamp(0.3 * noise(3.0 * x, 3.0 * y) + 0.06 * std::cos(2.0 * CV_PI * y / 2.4), -1.0, 1.0);
        return;
    }
    for (const Target& t : targets_) {
        if (t.material == kWater) continue;
        if (std::fabs(x - t.x) <= t.halfSide && std::fabs(y - t.y) <= t.halfSide) {
            hit->material = t.material;
            return;
        }
    }
    if (std::hypot((x - pondX_) / pondA_, (y - pondY_) / pondB_) < 1.0) {
        hit->material = kWater;
        return;
    }
    const double n = noise(x, y);
    // Asphalt road along the line, with a dashed centre line.
    const double roadY = -9.0 + 1.5 * std::sin(x / 40.0 + phase_[3]);
    if (std::fabs(y - roadY) < 3.0) {
        const double dash = std::fmod(std::fabs(x) + 1000.0, 6.0);
        hit->material = (std::fabs(y - roadY) < 0.08 && dash < 3.0) ? kRoadPaint : kAsphalt;
        hit->texture = 0.5 * n;
        return;
    }
    // Dirt path across, between the second and third tarp.
    const double pathX = 0.5 * (targets_[1].x + targets_[2].x);
    if (std::fabs(x - pathX - 0.8 * std::sin(y / 9.0)) < 1.4) {
        hit->material = kDirt;
        hit->texture = n;
        return;
    }
    // Field parcels of about 24 x 20 m: crop rows over soil, grass with bare patches, or soil.
    const qint32 px = qint32(std::floor((x + 7.0) / 24.0)), py = qint32(std::floor((y + 3.0) / 20.0));
    const quint32 h = hash3(px, py, seed_ ^ 0x5151u);
    const double kind = unit(h);
    const double patches = noise(1.7 * x + 211.0, 1.7 * y - 97.0);
    hit->texture = n;
    if (kind < 0.4) {
        const double angle = unit(h >> 7) * CV_PI;
        const double u = x * std::cos(angle) + y * std::sin(angle);
        const double rows = 0.5 + 0.5 * std::cos(2.0 * CV_PI * u / 0.8);
        const double cover = std::clamp(0.3 + 0.5 * unit(h >> 13) + 0.3 * n, 0.1, 1.0);
        hit->material = kCrop;
        hit->soil = std::clamp(1.0 - cover * (0.4 + 0.9 * rows), 0.0, 1.0);
    } else if (kind < 0.75) {
        hit->material = kGrass;
        hit->soil = std::clamp((patches - 0.05) * 1.6, 0.0, 0.8);
    } else {
        // Ploughed soil: furrows every 0.6 m.
        const double angle = unit(h >> 9) * CV_PI;
        const double u = x * std::cos(angle) + y * std::sin(angle);
        hit->material = kSoil;
        hit->texture = std::clamp(0.5 * n + 0.3 * patches + 0.5 * std::cos(2.0 * CV_PI * u / 0.6), -1.0, 1.0);
    }
}

void GroundScene::primitivesIn(double x0, double x1, double y0, double y1, std::vector<int>* buildings,
                               std::vector<int>* trees) const {
    buildings->clear();
    trees->clear();
    for (size_t i = 0; i < boxes_.size(); ++i) {
        const Box& b = boxes_[i];
        if (b.x1 >= x0 && b.x0 <= x1 && b.y1 >= y0 && b.y0 <= y1) buildings->push_back(int(i));
    }
    for (size_t i = 0; i < trees_.size(); ++i) {
        const Tree& t = trees_[i];
        if (t.x + t.r >= x0 && t.x - t.r <= x1 && t.y + t.r >= y0 && t.y - t.r <= y1)
            trees->push_back(int(i));
    }
}

SceneHit GroundScene::cast(const cv::Vec3d& c, const cv::Vec3d& d, const std::vector<int>& buildings,
                           const std::vector<int>& trees) const {
    // Terrain: fixed-point iteration on the height (slopes are gentle; steeper relief converges
    // more slowly, so it gets more steps).
    double z = 0.0, t = 0.0;
    const int steps = relief_ > 1.0 ? 4 + int(std::ceil(4.0 * relief_)) : 4;
    for (int i = 0; i < steps; ++i) {
        t = (z - c[2]) / d[2];
        z = terrainHeight(c[0] + t * d[0], c[1] + t * d[1]);
    }
    double best = t;
    int hitMaterial = -1;
    for (int bi : buildings) {
        const Box& b = boxes_[size_t(bi)];
        double tn = -1e30, tf = 1e30;
        int axis = -1;
        const double lo[3] = {b.x0, b.y0, b.z0}, hi[3] = {b.x1, b.y1, b.z1};
        bool miss = false;
        for (int a = 0; a < 3 && !miss; ++a) {
            if (std::fabs(d[a]) < 1e-12) {
                if (c[a] < lo[a] || c[a] > hi[a]) miss = true;
                continue;
            }
            double t0 = (lo[a] - c[a]) / d[a], t1 = (hi[a] - c[a]) / d[a];
            if (t0 > t1) std::swap(t0, t1);
            if (t0 > tn) {
                tn = t0;
                axis = a;
            }
            tf = std::min(tf, t1);
            if (tn > tf) miss = true;
        }
        if (!miss && tn > 0 && tn < best) {
            best = tn;
            hitMaterial = axis == 2 ? b.roof : kWall;
        }
    }
    for (int ti : trees) {
        const Tree& tr = trees_[size_t(ti)];
        const cv::Vec3d oc = c - cv::Vec3d(tr.x, tr.y, tr.z);
        const double bq = oc.dot(d), cq = oc.dot(oc) - tr.r * tr.r;
        const double disc = bq * bq - cq;
        if (disc < 0) continue;
        const double tt = -bq - std::sqrt(disc);
        if (tt > 0 && tt < best) {
            best = tt;
            hitMaterial = kTree;
        }
    }
    SceneHit hit;
    hit.x = c[0] + best * d[0];
    hit.y = c[1] + best * d[1];
    hit.z = c[2] + best * d[2];
    if (hitMaterial < 0) {
        groundMaterial(&hit);
    } else {
        hit.material = hitMaterial;
        const double n = noise(hit.x * 3.0 + 300.0, hit.y * 3.0 + hit.z);
        hit.texture = hitMaterial == kTree ? n : 0.3 * n;
        // Sun from the south-east, 50 degrees up; crowns and walls turned away from it are darker.
        const cv::Vec3d sun(0.45, -0.45, 0.77);
        cv::Vec3d normal(0, 0, 1);
        if (hitMaterial == kTree) {
            for (int ti : trees) {
                const Tree& tr = trees_[size_t(ti)];
                const cv::Vec3d v(hit.x - tr.x, hit.y - tr.y, hit.z - tr.z);
                if (std::fabs(cv::norm(v) - tr.r) < 1e-6 * (1.0 + tr.r)) normal = v * (1.0 / tr.r);
            }
        } else if (hitMaterial == kWall) {
            normal = cv::Vec3d(-d[0], -d[1], 0.0);
            const double len = cv::norm(normal);
            normal = len > 0 ? normal * (1.0 / len) : cv::Vec3d(1, 0, 0);
        }
        hit.shade = 0.35 + 0.65 * std::max(0.0, normal.dot(sun)) / sun[2];
        hit.shade = std::min(hit.shade, 1.3);
    }
    return hit;
}

void GroundScene::reflectances(const SceneHit& hit, float* out) const {
    const int nb = wavelengths_.size();
    const double* s = spectra_.data() + size_t(hit.material) * size_t(nb);
    const bool vegetation = hit.material == kGrass || hit.material == kCrop || hit.material == kTree;
    const bool uniform = hit.material >= kWater;
    const double* soil = spectra_.data() + size_t(kSoil) * size_t(nb);
    for (int b = 0; b < nb; ++b) {
        double v = s[b];
        if (vegetation) {
            // Vigour: more near-infrared, less visible; bare soil shows through in places.
            v *= wavelengths_[b] < 700 ? 1.0 - 0.45 * hit.texture : 1.0 + 0.25 * hit.texture;
            v = (1.0 - hit.soil) * v + hit.soil * soil[b] * (1.0 + 0.15 * hit.texture);
        } else if (!uniform) {
            v *= 1.0 + 0.3 * hit.texture;
        }
        out[b] = float(v * hit.shade);
    }
}

SceneHit GroundScene::groundHit(double x, double y) const {
    SceneHit h;
    h.x = x;
    h.y = y;
    h.z = terrainHeight(x, y);
    groundMaterial(&h);
    return h;
}

}  // namespace reflsample
