#include "run_threads.h"

#include <QDebug>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <opencv2/core/utility.hpp>

#include "image_registration_thread.h"
#include "sfm_calibration_thread.h"

namespace {

constexpr int kMaxRadiometricTasks = 3;

}  // namespace

int RunThreads::allCores() { return std::max(1, QThread::idealThreadCount()); }

int RunThreads::parse(const QString& text) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok && n >= 1 && n <= 1024 ? n : 0;
}

RunThreads::RunThreads(int count) : m_count(std::max(1, count)) {}

void RunThreads::applyToOpenCv() const {
    cv::setNumThreads(m_count);
    qDebug() << "run threads:" << m_count << "(OpenCV uses" << cv::getNumThreads() << ")";
}

void RunThreads::applyToTaskPool(QThreadPool& pool, bool jpg) const {
    pool.setMaxThreadCount(jpg ? 1 : std::min(kMaxRadiometricTasks, m_count));
}

void RunThreads::applyTo(CImageRegistrationThread& registration) const { registration.setBandWorkers(m_count); }

void RunThreads::applyTo(CSfMCalibrationThread& calibration) const {
    calibration.setThreadCount(m_count);  // bands at once; their adjustments share the rest
    calibration.setAdjustmentThreads(m_count);
}
