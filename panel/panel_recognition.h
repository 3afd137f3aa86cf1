#pragma once

#include <QString>
#include <QVector>
#include <array>
#include <opencv2/core.hpp>

#include "panel_geometry.h"

// One decoded QR symbol, read as a panel code: "SN,percent,percent,...".
struct GreyBoardCode {
    bool isNew = false;  // carries reflectance values
    QString sn;
    int snLength = 0;
    std::array<cv::Point2f, 4> corners;  // in the decoder's order
    cv::Point2f centre;
    double angle = 0.0;  // degrees, from the two topmost corners
    QVector<int> values;  // reflectance in percent, at most 50
};

// A panel code has an 11-character serial beginning with "CA".
bool isPanelCode(const GreyBoardCode& code);

// Parses a payload; a field after the serial that is not a decimal integer ends the value list.
GreyBoardCode parsePanelPayload(const QByteArray& payload);

// Scans an 8-bit colour image for QR codes (4 x 4 box blur, grey, zbar); returns the symbols with
// four corners, in the decoder's order.
QVector<GreyBoardCode> scanGreyBoardCodes(const cv::Mat& bgr);

enum class PanelRecognition { Recognised, Unreadable, NoCode, CentreOutOfRange, VertexOutOfRange };

struct GreyBoardResult {
    PanelRecognition status = PanelRecognition::NoCode;
    GreyBoardCode code;
    QPoint centre;                      // panel centre in the image
    std::array<QPoint, 4> fullVertices;  // square corners mapped back to the image
    PanelGeometry area;                 // the shrunk square: top-left, bottom-left, top-right, bottom-right
    int orientation = 0;                // 0, 90, 180 or 270
};

// The folder that receives the preview pictures: temp_greyboard beside the program, or in the
// temporary folder when the program's folder cannot be written.
QString greyboardPreviewDir();

// Finds the panel of one panel image from its QR code; prints the console report and writes the
// preview picture into `previewDir`. True only for a recognised panel inside the image.
bool recognizeGreyBoard(const QString& path, GreyBoardResult& result, const QString& previewDir);

// Draws a given outline on a panel image (geometry taken from another band) and saves the preview.
void drawAndSaveGreyBoardPreview(const QString& path, const std::array<QPoint, 4>& vertices,
                                 const QString& previewDir);
