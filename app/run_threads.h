#pragma once

#include <QString>

namespace refl {
class CImageRegistrationThread;
class CSfMCalibrationThread;
}  // namespace refl
class QThreadPool;

// How many threads a run may use. Every pool and parallel loop of a run takes its bound from here:
// the radiometric task pool, OpenCV's parallel loops, the registration's workers and the
// self-calibration's bands and adjustment. The results do not depend on the number.
class RunThreads {
public:
    // Every core of the machine (at least 1).
    static int allCores();
    // A thread count given as text: a whole number from 1 to 1024; 0 for anything else.
    static int parse(const QString& text);

    explicit RunThreads(int count = allCores());
    int count() const { return m_count; }

    // OpenCV's parallel loops are bounded process-wide: done when a run starts.
    void applyToOpenCv() const;
    // The radiometric tasks: at most three at once (each holds a whole band image and its output),
    // one for JPG captures.
    void applyToTaskPool(QThreadPool& pool, bool jpg) const;
    // Jobs holding whole band images at once (registration pairs, self-calibration bands): the thread
    // count, bounded by a fixed memory budget so that many cores do not multiply the memory.
    int registrationJobs() const;
    int calibrationBands() const;
    void applyTo(refl::CImageRegistrationThread& registration) const;
    void applyTo(refl::CSfMCalibrationThread& calibration) const;

private:
    int jobsWithin(double jobMb) const;
    int m_count;
};
