#include "batch_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

using namespace refl;

namespace {

void line(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString duration(qint64 ms) {
    const qint64 s = ms / 1000;
    if (s >= 3600) return QString("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
    return QString("%1:%2").arg(s / 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

int terminalWidth(FILE* stream) {
    winsize ws{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 80;
}

}  // namespace

void TerminalProgressLine::update(const QString& phase, int percent) {
    if (!m_run.isValid()) m_run.start();
    // A new phase, or a phase whose progress starts again, restarts the estimate.
    if (phase != m_phase || percent < m_percent || !m_phaseClock.isValid()) {
        m_phaseClock.start();
        m_phaseStartPercent = std::max(0, percent);
    }
    m_phase = phase;
    m_percent = percent;
    redraw();
}

QString TerminalProgressLine::text(int width) const {
    const int p = std::clamp(m_percent, 0, 100);
    const qint64 elapsed = m_run.isValid() ? m_run.elapsed() : 0;
    QString remaining = QStringLiteral("--:--");
    const int done = p - m_phaseStartPercent;
    if (m_phaseClock.isValid() && done > 0 && p < 100) {
        const double perPercent = double(m_phaseClock.elapsed()) / done;
        remaining = duration(qint64(perPercent * (100 - p)));
    }
    const QString right = QString(" %1% %2 left %3").arg(p, 3).arg(duration(elapsed), remaining);
    QString phase = m_phase.isEmpty() ? QStringLiteral("...") : m_phase;
    // Wide characters (the phase texts are Chinese) take two columns.
    auto columns = [](const QString& s) {
        int c = 0;
        for (const QChar ch : s) c += ch.unicode() >= 0x1100 ? 2 : 1;
        return c;
    };
    const int barWidth = std::clamp(width - columns(phase) - columns(right) - 4, 10, 40);
    while (columns(phase) + barWidth + columns(right) + 4 > width && phase.size() > 4) phase.chop(1);
    const int filled = barWidth * p / 100;
    return phase + " [" + QString(filled, '#') + QString(barWidth - filled, '-') + "]" + right;
}

void TerminalProgressLine::redraw() {
    if (m_percent < 0) return;
    const QString t = text(terminalWidth(m_stream) - 1);
    std::fprintf(m_stream, "\r\033[K%s", t.toLocal8Bit().constData());
    std::fflush(m_stream);
    m_drawn = true;
}

void TerminalProgressLine::clear() {
    if (!m_drawn) return;
    std::fputs("\r\033[K", m_stream);
    std::fflush(m_stream);
    m_drawn = false;
}

void TerminalProgressLine::finish() {
    if (!m_drawn) return;
    std::fputc('\n', m_stream);
    std::fflush(m_stream);
    m_drawn = false;
    m_percent = -1;
}

void StderrDialogs::message(Kind kind, const QString& title, const QString& text, bool) {
    if (kind == Kind::Warning) ++warnings;
    if (progressLine) progressLine->clear();
    line(title + ": " + QString(text).replace('\n', ' ').trimmed());
    if (progressLine) progressLine->redraw();
}

BatchRunView::BatchRunView() : m_terminal(isatty(fileno(stderr)) == 1) {
    if (!m_terminal) return;
    m_dialogs.progressLine = &m_line;
    QObject::connect(&m_tick, &QTimer::timeout, [this] { m_line.redraw(); });
    m_tick.start(1000);
}

void BatchRunView::setPhaseText(const QString& text) {
    m_phase = text;
    if (m_terminal) {
        m_line.update(m_phase, std::max(m_percent, 0));
        return;
    }
    line("phase: " + text);
}

void BatchRunView::setProgress(int percent) {
    if (percent == m_percent) return;
    m_percent = percent;
    if (m_terminal) {
        m_line.update(m_phase, percent);
        return;
    }
    line(QString("progress: %1% %2").arg(percent).arg(m_phase));
}

void BatchRunView::say(const QString& text) {
    if (m_terminal) m_line.clear();
    line(text);
    if (m_terminal) m_line.redraw();
}

void BatchRunView::finishProgress() {
    if (m_terminal) {
        m_tick.stop();
        m_line.finish();
    }
}

void BatchRunView::setStandardReflectance(int band, double value) {
    say(QString("panel code: standard reflectance of band %1 is %2").arg(band + 1).arg(value));
}

bool BatchRunView::confirmPanelPreviews(const QString& folder, const QStringList& panelImages) {
    say(QString("panel previews of %1 images in %2").arg(panelImages.size()).arg(folder));
    return true;
}
