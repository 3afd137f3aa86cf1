#include "run_threads.h"

#include <QDebug>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <opencv2/core/utility.hpp>

#include "image_registration_thread.h"
#include "sfm_calibration_thread.h"

using namespace refl;

namespace {

constexpr int kMaxRadiometricTasks = 3;

// Jobs that each hold whole band images run at most as many at once as fit this budget, however many
// threads the run has; the threads of their inner loops are not bounded by it. Measured peaks on
// 1280 x 960 bands: a self-calibration band about 360 MB, a band registration (its two images, the
// features, the refinement's images and the shared reference bands) about 150 MB.
constexpr double kJobMemoryBudgetMb = 1100.0;
constexpr double kCalibrationBandMb = 360.0;
constexpr double kRegistrationJobMb = 150.0;

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

int RunThreads::jobsWithin(double jobMb) const {
    return std::max(1, std::min(m_count, static_cast<int>(kJobMemoryBudgetMb / jobMb)));
}

int RunThreads::registrationJobs() const { return jobsWithin(kRegistrationJobMb); }

int RunThreads::calibrationBands() const { return jobsWithin(kCalibrationBandMb); }

void RunThreads::applyTo(CImageRegistrationThread& registration) const {
    registration.setBandWorkers(registrationJobs());
    qDebug() << "run threads: registration jobs at once" << registrationJobs() << "(memory budget"
             << kJobMemoryBudgetMb << "MB)";
}

void RunThreads::applyTo(CSfMCalibrationThread& calibration) const {
    calibration.setThreadCount(calibrationBands());  // bands at once; their adjustments share the threads
    calibration.setAdjustmentThreads(m_count);
    qDebug() << "run threads: self-calibration bands at once" << calibrationBands() << "(memory budget"
             << kJobMemoryBudgetMb << "MB)";
}
