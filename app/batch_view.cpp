#include "batch_view.h"

namespace {

void line(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace

void StderrDialogs::message(Kind kind, const QString& title, const QString& text, bool) {
    if (kind == Kind::Warning) ++warnings;
    line(title + ": " + QString(text).replace('\n', ' ').trimmed());
}

void BatchRunView::setPhaseText(const QString& text) {
    m_phase = text;
    line("phase: " + text);
}

void BatchRunView::setProgress(int percent) {
    if (percent == m_percent) return;
    m_percent = percent;
    line(QString("progress: %1% %2").arg(percent).arg(m_phase));
}

void BatchRunView::setStandardReflectance(int band, double value) {
    line(QString("panel code: standard reflectance of band %1 is %2").arg(band + 1).arg(value));
}

bool BatchRunView::confirmPanelPreviews(const QString& folder, const QStringList& panelImages) {
    line(QString("panel previews of %1 images in %2").arg(panelImages.size()).arg(folder));
    return true;
}
