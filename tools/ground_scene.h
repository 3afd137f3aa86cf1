// The ground the sample flight looks at: gently rolling terrain with fields, crop rows, roads, a pond,
// buildings (boxes) and trees (spheres), plus uniform tarps that serve as check points. Reflectance per
// band follows material spectra that behave like real ones (vegetation dark in the visible, bright in
// the near infrared; water dark in the infrared).
#pragma once

#include <QString>
#include <QVector>
#include <opencv2/core.hpp>
#include <vector>

namespace reflsample {

enum Material : int {
    kGrass,
    kCrop,
    kSoil,
    kAsphalt,
    kDirt,
    kRoadPaint,
    kConcreteRoof,
    kRedRoof,
    kMetalRoof,
    kWall,
    kTree,
    kWater,
    kTarpBlack,
    kTarpDarkGrey,
    kTarpLightGrey,
    kTarpWhite,
    kTarpRed,
    kMaterialCount
};

/// Spectral reflectance of a material at a wavelength (no texture).
double materialReflectance(int material, int wavelengthNm);

struct SceneHit {
    double x = 0, y = 0, z = 0;
    int material = kGrass;
    double texture = 0;  ///< -1 ... 1, spatial variation at the hit point
    double soil = 0;     ///< fraction of bare soil showing through (crop rows, patches in grass)
    double shade = 1;    ///< illumination of tilted surfaces (tree crowns, walls); 1 on the ground
};

struct Target {
    QString name;
    double x = 0, y = 0, halfSide = 0;  ///< square of side 2 * halfSide (the pond: a disc of that radius)
    int material = kTarpBlack;
};

class GroundScene {
public:
    /// The scene covers [xMin, xMax] x [yMin, yMax]; targets are put along y = 0 between tarpX0 and tarpX1.
    /// relief scales the terrain heights (buildings and trees stand on the scaled terrain).
    GroundScene(quint32 seed, double xMin, double xMax, double yMin, double yMax, double tarpX0,
                double tarpX1, double relief = 1.0);

    void setBands(const QVector<int>& wavelengths);
    /// Mixed ground (the default), or one uniform cover with weak texture: a closed crop canopy or
    /// a mown lawn. The uniform covers have no buildings, trees or tarps.
    enum class Ground { Mixed, Canopy, Lawn };
    void setGround(Ground ground);
    double terrainHeight(double x, double y) const;
    /// Indices of buildings and trees whose footprint meets the rectangle (for culling per capture).
    void primitivesIn(double x0, double x1, double y0, double y1, std::vector<int>* buildings,
                      std::vector<int>* trees) const;
    /// First surface hit by the ray centre + t * dir (dir pointing down).
    SceneHit cast(const cv::Vec3d& centre, const cv::Vec3d& dir, const std::vector<int>& buildings,
                  const std::vector<int>& trees) const;
    /// Reflectance of a hit in every band set by setBands.
    void reflectances(const SceneHit& hit, float* out) const;
    /// The bare ground at (x, y), ignoring buildings and trees (backdrop of the panel captures).
    SceneHit groundHit(double x, double y) const;
    const std::vector<Target>& targets() const { return targets_; }

private:
    struct Box {
        double x0, x1, y0, y1, z0, z1;
        int roof;
    };
    struct Tree {
        double x, y, z, r;  ///< sphere centre and radius
    };
    void groundMaterial(SceneHit* hit) const;
    double noise(double x, double y) const;  ///< fractal value noise, -1 ... 1

    quint32 seed_;
    Ground ground_ = Ground::Mixed;
    double relief_ = 1.0;
    double phase_[4];
    std::vector<Box> boxes_;
    std::vector<Tree> trees_;
    std::vector<Target> targets_;
    double pondX_, pondY_, pondA_, pondB_;
    QVector<int> wavelengths_;
    std::vector<double> spectra_;  ///< material x band
};

}  // namespace reflsample
