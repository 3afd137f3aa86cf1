#include "panel_automatic.h"

#include <QDebug>

#include "panel_recognition.h"

AutomaticPanelResult recognizePanelGroups(const QStringList& images, int n, const QString& previewDir) {
    AutomaticPanelResult out;
    out.geometry.resize(images.size());
    if (n <= 0) return out;
    const int groups = images.size() / n;
    for (int g = 0; g < groups; ++g) {
        QVector<bool> ok(n, false);
        for (int b = 0; b < n; ++b) {
            const int j = g * n + b;
            GreyBoardResult r;
            if (!recognizeGreyBoard(images[j], r, previewDir)) continue;
            ok[b] = true;
            out.geometry[j] = r.area;
            qDebug() << QString("组%1文件%2识别成功").arg(g).arg(b) << r.centre;
            if (out.codeValues.isEmpty() && !r.code.values.isEmpty()) out.codeValues = r.code.values;
        }
        if (!ok.contains(true)) {
            qDebug() << QString("组%1全部文件识别失败，跳过该组").arg(g);
            continue;
        }
        out.recognisedGroups << g;
        for (int b = 0; b < n; ++b) {
            const int j = g * n + b;
            if (!ok[b]) {
                int best = -1;
                for (int k = 0; k < n; ++k)
                    if (ok[k] && (best < 0 || std::abs(k - b) < std::abs(best - b))) best = k;
                out.geometry[j] = out.geometry[g * n + best];
                drawAndSaveGreyBoardPreview(images[j], out.geometry[j].vertices, previewDir);
            }
            const PanelGeometry& p = out.geometry[j];
            qDebug() << images[j] << "newCoordinate" << j << p.vertices[0].x() << p.vertices[0].y()
                     << p.vertices[1].x() << p.vertices[1].y() << p.vertices[2].x() << p.vertices[2].y()
                     << p.vertices[3].x() << p.vertices[3].y();
        }
    }
    return out;
}
