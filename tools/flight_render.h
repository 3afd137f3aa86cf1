// Rendering of band images. All bands share one projection centre, so each capture is ray-cast once
// into a wide "virtual" pinhole image in the reference band's orientation; every band then samples it
// through its own rotation, camera matrix and distortion (a per-band map computed once).
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "camera_setup.h"
#include "ground_scene.h"
#include "panel_board.h"

namespace reflsample {

struct VirtualCamera {
    cv::Matx33d K;
    cv::Size size;
};

/// A virtual camera that covers the raw field of every band (with a small margin).
VirtualCamera makeVirtualCamera(const QVector<BandTruth>& bands, int ref, cv::Size imageSize);

/// For every band pixel, its position in the virtual image (CV_32F maps for cv::remap).
void buildBandMap(const BandTruth& band, const VirtualCamera& vc, cv::Size imageSize, cv::Mat* mapX,
                  cv::Mat* mapY);

/// Raw pixel (0-based, distorted) of a direction given in the reference camera frame.
cv::Point2d projectToBand(const BandTruth& band, const cv::Vec3d& refRay);

/// Reflectance planes (CV_32F, one per band) of the virtual view from centre with camFromWorld.
std::vector<cv::Mat> renderSceneView(const GroundScene& scene, const VirtualCamera& vc,
                                     const cv::Vec3d& centre, const cv::Matx33d& camFromWorld, int bandCount);

/// Reflectance planes of a panel capture: board over a ground backdrop. greyPerBand: grey reflectance.
std::vector<cv::Mat> renderPanelView(const PanelBoard& board, const GroundScene& scene,
                                     const VirtualCamera& vc, const QVector<int>& wavelengths,
                                     const QVector<double>& greyPerBand);

/// Digital numbers from normalised radiance: DN = dark + L (c1 t g + c2) a0 / P(r) + noise, rounded and
/// clamped to 16 bits. exposure and gain are the values the calibration readers derive from the file.
cv::Mat radianceToDn(const cv::Mat& radiance, const BandTruth& band, double exposure, double gain,
                     double noiseScale, quint64 noiseSeed);

}  // namespace reflsample
