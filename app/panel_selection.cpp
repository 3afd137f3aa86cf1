#include "panel_selection.h"

#include <QFileInfo>
#include <QMap>

#include "raw_scan.h"

namespace {

QString listProblem(const QStringList& files, int n, const QString& kind) {
    if (files.isEmpty()) return QString();
    if (n <= 0 || files.size() % n != 0 || files.size() > 3 * n)
        return QStringLiteral("%1影像数量应为%2的整数倍（最多%3个）！").arg(kind).arg(n).arg(3 * n);
    QMap<QString, int> perGroup;
    for (const QString& f : files) ++perGroup[fileNameFields(QFileInfo(f).fileName()).value(1)];
    QStringList incomplete;
    for (auto it = perGroup.cbegin(); it != perGroup.cend(); ++it)
        if (it.value() != n) incomplete << it.key();
    if (!incomplete.isEmpty())
        return QStringLiteral("以下组别的%1标定板文件不全（每组需%2个）：%3").arg(kind).arg(n).arg(incomplete.join(","));
    return QString();
}

}  // namespace

QString panelSelectionProblem(const QStringList& files, int bandCount, int rows) {
    QStringList plain, greyboard;
    for (const QString& f : files) (isPanelImageName(QFileInfo(f).fileName()) ? greyboard : plain) << f;
    QString problem = listProblem(plain, bandCount, QStringLiteral("普通"));
    if (problem.isEmpty()) problem = listProblem(greyboard, bandCount, QStringLiteral("灰板"));
    // Each kind alone may fill the table; both together must still fit into its rows.
    if (problem.isEmpty() && files.size() > rows)
        problem = QStringLiteral("%1影像数量应为%2的整数倍（最多%3个）！")
                      .arg(QStringLiteral("灰板"))
                      .arg(bandCount)
                      .arg(std::min(3 * bandCount, rows));
    return problem;
}

QStringList panelBandLabelsOf(const QStringList& files) {
    QStringList labels;
    for (const QString& f : files) labels << bandLabelFromFileName(QFileInfo(f).fileName());
    return labels;
}
