// The reference panel board: a white board carrying a QR code (libqrencode) and a grey square of known
// reflectance. Positions are in units of the code side d, in the code's own upright frame (x right,
// y down):
//   new board: grey square centred 1.4 d below the code centre, half-side 0.68 d;
//   old board: grey square centred 1.55 d left of the code centre, half-side 0.96 d.
// The panel recogniser's square (half-side 0.53 d new / 0.88 d old about those centres) therefore lies
// inside the grey area with a few percent to spare for errors in the measured code side.
#pragma once

#include <QString>
#include <QVector>
#include <opencv2/core.hpp>
#include <vector>

namespace reflsample {

struct QrModules {
    int size = 0;                     ///< modules per side, without quiet zone
    std::vector<unsigned char> dark;  ///< size x size, row by row, 1 = dark
};

/// Encodes text as a QR code (8-bit mode, error correction level L: the smallest code). False when
/// libqrencode fails.
bool encodeQr(const QByteArray& payload, QrModules* out);

/// Payload of a panel code: serial, then one integer percentage per wavelength (none for an old board).
QByteArray panelPayload(const QString& serial, const QVector<int>& percents);

/// The 17 wavelengths the percentages of a new board refer to, and the 3 more of a 20-value board.
const QVector<int>& panelWavelengths17();
const QVector<int>& panelWavelengths20();

/// Reflectance percentage of the value nearest to a wavelength (first on a tie).
int nearestPercent(const QVector<int>& percents, int wavelengthNm);

class PanelBoard {
public:
    enum Region { kOutside = 0, kWhite = 1, kDark = 2, kGrey = 3 };

    PanelBoard(bool newBoard, const QrModules& qr, double angleDeg, cv::Point2d codeCentre, double codeSide);

    Region regionAt(double u, double v) const;
    cv::Point2d codeCentre() const { return centre_; }
    cv::Point2d greyCentre() const;
    double greyHalfSide() const { return (newBoard_ ? 0.68 : 0.96) * side_; }
    /// Board centre offset from the code centre, in code units (to place the board in an image).
    static cv::Point2d boardCentroid(bool newBoard);
    static double boardRadius(bool newBoard);  ///< in code units, around the centroid

private:
    cv::Point2d toCode(double u, double v) const;
    bool newBoard_;
    QrModules qr_;
    double cos_, sin_;
    cv::Point2d centre_;
    double side_;
};

}  // namespace reflsample
