// The two registration modes. Per-group: every capture's bands are registered on their own, measured,
// and the captures that measure poorly are tried again from the flight's consensus (the cameras of a
// rig are rigid, so a band's transform changes only slowly over a flight). Common: one matrix per band
// from the best of a few captures, measured on every capture and improved where it measures poorly.
// Every band's figures go into the log, the merged file's XMP and registration_quality.csv.
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "band_refine.h"
#include "image_registration_thread.h"

namespace refl {

namespace {

const QString kCancelled = QStringLiteral("已取消");

// A capture's band counts towards the flight's consensus when its own registration measures at most
// this far off and rests on enough inliers.
constexpr double kStrongResidualPx = 0.5;
constexpr int kStrongInliers = 50;
// A band whose transform lands this far (at a corner) from the consensus gets a second look.
constexpr double kDisagreementPx = 2.0;
// Below this measured residual a band needs no second candidate.
constexpr double kGoodResidualPx = 0.5;

// Nine row-major numbers and the 3x3 matrix they hold, either way.
cv::Matx33d toMatx(const QList<double>& values) {
    cv::Matx33d m;
    for (int i = 0; i < 9; ++i) m.val[i] = values[i];
    return m;
}

QList<double> toList(const cv::Matx33d& m) {
    QList<double> values;
    for (int i = 0; i < 9; ++i) values.append(m.val[i]);
    return values;
}

// Whether a second candidate replaces what a band has. Between two measurements the smaller residual
// wins by more than their uncertainties (noise must not swap equals, and the refinement follows the
// measure); a band that cannot be measured is replaced only when its own registration was weak or
// missing (too plain to measure is no sign of a wrong matrix).
// A band off in parts counts as far off, whatever its median.
double effectiveResidual(const BandQuality& q) { return q.inconsistent() ? q.median + 100.0 : q.median; }

bool needsBetter(const BandQuality& q) { return !q.measured || effectiveResidual(q) > kGoodResidualPx; }

bool candidateBetter(const BandQuality& candidate, const BandQuality& own, bool ownWeak) {
    if (candidate.measured && own.measured)
        return effectiveResidual(candidate) <
               effectiveResidual(own) - std::max(0.02, candidate.uncertainty + own.uncertainty);
    if (own.measured) return false;
    return ownWeak;
}

QString figure(const BandQuality& q) { return q.measured ? QString::number(q.median, 'f', 3) : QString("-"); }

}  // namespace

std::vector<CImageRegistrationThread::CaptureState> CImageRegistrationThread::captureStates(
    const QMap<QString, QStringList>& groups, int commonReference) {
    std::vector<CaptureState> out;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        CaptureState c;
        c.key = it.key();
        c.files = it.value();
        const int n = c.files.size();
        if (commonReference < 0) {
            c.registers = n >= 2;
            c.reference = n >= 2 ? referenceIndex(c.files) : 0;
        } else {
            c.registers = n >= 2 && n > commonReference;
            c.reference = c.registers ? commonReference : (n >= 2 ? referenceIndex(c.files) : 0);
        }
        c.bands.resize(size_t(n));
        const QString referenceBand = regnames::bandNameOf(c.files[c.reference]);
        for (int b = 0; b < n; ++b) {
            BandRegistrationRecord& r = c.bands[size_t(b)].record;
            r.capture = c.key;
            r.band = regnames::bandNameOf(c.files[b]);
            r.referenceBand = referenceBand;
            r.method = b == c.reference ? "reference" : "none";
        }
        out.push_back(std::move(c));
    }
    return out;
}

bool CImageRegistrationThread::runJobs(int count, const std::function<void(int)>& job, int from, int to,
                                       const QString& text) {
    return runJobs(count, job, [&](int i) {
        emit signalRegistrationProgress(from + (to - from) * (i + 1) / count, text.arg(i + 1).arg(count));
    });
}

bool CImageRegistrationThread::runJobs(int count, const std::function<void(int)>& job,
                                       const std::function<void(int)>& finished) {
    // Progress goes out in job order from this thread, so that its values do not depend on how many
    // workers there are or which finished first.
    const int workers = std::min(m_bandWorkers, count);
    if (workers <= 1) {
        for (int i = 0; i < count; ++i) {
            if (stopRequested()) return false;
            job(i);
            finished(i);
        }
        return !stopRequested();
    }
    std::atomic<int> next{0};
    std::vector<char> done(size_t(count), 0);
    std::mutex mutex;
    std::condition_variable changed;
    auto work = [&] {
        for (int i = next++; i < count; i = next++) {
            if (!stopRequested()) job(i);
            std::lock_guard<std::mutex> lock(mutex);
            done[size_t(i)] = 1;
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int h = 0; h < workers; ++h) threads.emplace_back(work);
    for (int i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return done[size_t(i)] != 0; });
        lock.unlock();
        if (!stopRequested()) finished(i);
    }
    for (std::thread& t : threads) t.join();
    return !stopRequested();
}

void CImageRegistrationThread::measureBand(const CaptureState& capture, int b, BandState& band) const {
    band.record.quality = BandQuality();
    if (!hasMatrix(band.refFromBand)) return;
    const cv::Mat ref = readBandImage(capture.files[capture.reference]);
    const cv::Mat image = readBandImage(capture.files[b]);
    if (ref.empty() || image.empty()) return;
    band.record.quality =
        measureBandQuality(ref, warpOntoReference(image, toMatx(band.refFromBand), ref.size()));
}

void CImageRegistrationThread::runPerGroupMode() {
    QMap<QString, QStringList> groups;
    if (!scanAndGroup(groups, false)) return;
    std::vector<CaptureState> captures = captureStates(groups, -1);

    // Every band of every capture onto its reference, then its measurement.
    std::vector<std::pair<int, int>> jobs;
    for (int c = 0; c < int(captures.size()); ++c) {
        if (!captures[size_t(c)].registers) continue;
        qDebug() << "Processing group:" << captures[size_t(c)].key << "ref index:" << captures[size_t(c)].reference
                 << "file:" << captures[size_t(c)].files[captures[size_t(c)].reference];
        for (int b = 0; b < captures[size_t(c)].files.size(); ++b)
            if (b != captures[size_t(c)].reference) jobs.emplace_back(c, b);
    }
    const bool complete = runJobs(
        int(jobs.size()),
        [&](int j) {
            CaptureState& capture = captures[size_t(jobs[size_t(j)].first)];
            const int b = jobs[size_t(j)].second;
            BandState& band = capture.bands[size_t(b)];
            band.refFromBand = m_pairMatrix(
                capture.files[capture.reference], capture.files[b],
                [&band](int progress, const QString& info) {
                    band.notices.append(qMakePair(progress, info));
                },
                &band.pair);
            band.record.method = hasMatrix(band.refFromBand) ? "features" : "none";
            band.record.inliers = band.pair.inliers;
            band.record.ecc = band.pair.ecc;
            measureBand(capture, b, band);
            band.computed = true;
        },
        0, 70, QStringLiteral("Registering bands %1/%2"));
    // Notices in capture and band order, whatever order the workers finished in.
    for (const CaptureState& capture : captures)
        for (const BandState& band : capture.bands)
            for (const auto& notice : band.notices) emit signalRegistrationProgress(notice.first, notice.second);
    if (!complete) return finishStopped();
    if (!applyFlightConsensus(captures)) return finishStopped();
    if (!measureThroughNeighbours(captures, 80, 80)) return finishStopped();
    mergeAndReport(captures, false, 80);
}

// Per band name (in the order they first appear), the bands to improve: those that are not strong
// and measure poorly, failed, or disagree with the flight's consensus of the strong ones.
std::vector<CImageRegistrationThread::ConsensusJob> CImageRegistrationThread::planFlightConsensus(
    const std::vector<CaptureState>& captures) {
    QStringList names;
    QMap<QString, std::vector<std::pair<int, int>>> members;
    for (int c = 0; c < int(captures.size()); ++c) {
        const CaptureState& capture = captures[size_t(c)];
        if (!capture.registers) continue;
        for (int b = 0; b < capture.files.size(); ++b) {
            if (b == capture.reference) continue;
            const QString& name = capture.bands[size_t(b)].record.band;
            if (!members.contains(name)) names << name;
            members[name].emplace_back(c, b);
        }
    }
    std::vector<ConsensusJob> jobs;
    for (const QString& name : names) {
        const auto& list = members[name];
        std::vector<cv::Matx33d> strong;
        std::vector<bool> isStrong;
        for (const auto& [c, b] : list) {
            const BandState& band = captures[size_t(c)].bands[size_t(b)];
            const BandQuality& q = band.record.quality;
            const bool s = hasMatrix(band.refFromBand) && q.measured &&
                           effectiveResidual(q) <= kStrongResidualPx &&
                           (band.pair.inliers < 0 || band.pair.inliers >= kStrongInliers);
            isStrong.push_back(s);
            if (s) strong.push_back(toMatx(band.refFromBand));
        }
        // A flight of one capture, or one without a strong capture of this band, has no consensus:
        // its poor bands can still be refined from their own matrix.
        bool hasConsensus = list.size() >= 2 && !strong.empty();
        cv::Matx33d consensus = cv::Matx33d::eye();
        cv::Size size;
        if (hasConsensus) {
            const cv::Mat probe = readBandImage(captures[size_t(list.front().first)].files[list.front().second]);
            hasConsensus = !probe.empty();
            size = probe.size();
            if (hasConsensus) consensus = consensusTransform(strong, size);
            qDebug() << "flightConsensus: band" << name << "from" << int(strong.size()) << "of"
                     << int(list.size()) << "captures";
        } else if (list.size() >= 2) {
            qDebug() << "flightConsensus: band" << name << "has no strong capture; each capture keeps its own";
        }
        for (size_t i = 0; i < list.size(); ++i) {
            if (isStrong[i]) continue;
            const BandState& band = captures[size_t(list[i].first)].bands[size_t(list[i].second)];
            const BandQuality& q = band.record.quality;
            const bool poor = !hasMatrix(band.refFromBand) || needsBetter(q);
            const bool disagrees =
                hasConsensus && hasMatrix(band.refFromBand) &&
                cornerDistance(toMatx(band.refFromBand), consensus, size) > kDisagreementPx;
            if (poor || disagrees) jobs.push_back({list[i].first, list[i].second, hasConsensus, consensus});
        }
    }
    return jobs;
}

// One band: its own matrix refined on the measured shifts, then the flight's consensus refined the
// same way; the best measurement wins.
void CImageRegistrationThread::improveFromConsensus(CaptureState& capture, const ConsensusJob& job) {
    BandState& band = capture.bands[size_t(job.band)];
    const cv::Mat ref = readBandImage(capture.files[capture.reference]);
    const cv::Mat image = readBandImage(capture.files[job.band]);
    if (ref.empty() || image.empty()) return;
    const cv::Mat refGradient = alignmentGradient(ref);
    const bool weak = !hasMatrix(band.refFromBand) || weakRegistration(band.pair.inliers, band.pair.ecc);
    if (hasMatrix(band.refFromBand)) {
        const WindowRefineResult refined =
            refineByWindowShifts(ref, image, toMatx(band.refFromBand), {}, refGradient);
        const bool take = candidateBetter(refined.quality, band.record.quality, false);
        qDebug() << "flightConsensus: capture" << capture.key << "band" << band.record.band << "own"
                 << figure(band.record.quality) << "refined" << figure(refined.quality)
                 << "px:" << (take ? "refined kept" : "own kept");
        if (take) {
            band.refFromBand = toList(refined.refFromBand);
            band.record.method = "features-refined";
            band.record.quality = refined.quality;
        }
    }
    if (!job.hasConsensus) return;
    const WindowRefineResult candidate = refineByWindowShifts(ref, image, job.consensus, {}, refGradient);
    const bool take = candidateBetter(candidate.quality, band.record.quality, weak);
    qDebug() << "flightConsensus: capture" << capture.key << "band" << band.record.band << "kept"
             << figure(band.record.quality) << "consensus" << figure(candidate.quality) << "px after"
             << candidate.rounds << "rounds:" << (take ? "consensus kept" : "kept");
    if (!take) return;
    band.refFromBand = toList(candidate.refFromBand);
    band.record.method = "consensus";
    band.record.inliers = -1;
    band.record.ecc.clear();
    band.record.quality = candidate.quality;
}

bool CImageRegistrationThread::applyFlightConsensus(std::vector<CaptureState>& captures) {
    const std::vector<ConsensusJob> jobs = planFlightConsensus(captures);
    if (jobs.empty()) return !stopRequested();
    return runJobs(
        int(jobs.size()),
        [&](int j) {
            const ConsensusJob& job = jobs[size_t(j)];
            improveFromConsensus(captures[size_t(job.capture)], job);
        },
        70, 80, QStringLiteral("Checking bands against the flight %1/%2"));
}

void CImageRegistrationThread::runCommonMode() {
    QMap<QString, QStringList> groups;
    if (!scanAndGroup(groups, true)) return;
    CommonPlan plan = planCommonMatrices(groups);
    const bool complete = m_commonByGroup ? computeCommonMatricesByCapture(groups, plan)
                                          : computeCommonMatricesByBand(groups, plan);
    forwardCommonNotices(plan);
    if (!complete) return finishStopped();
    // What this job used, for the caller (a flight state reused by later runs).
    m_commonReference = plan.reference;
    m_commonRefFromBand.clear();
    for (int b = 0; b < plan.bandCount; ++b)
        if (b != plan.reference && hasMatrix(plan.bands[size_t(b)].refFromBand))
            m_commonRefFromBand[b] = plan.bands[size_t(b)].refFromBand;

    std::vector<CaptureState> captures = captureStates(groups, plan.reference);
    applyCommonMatrices(plan, captures);
    if (!checkCommonMatrices(captures)) return finishStopped();
    if (!measureThroughNeighbours(captures, 70, 70)) return finishStopped();
    mergeAndReport(captures, true, 70);
}

bool CImageRegistrationThread::checkCommonMatrices(std::vector<CaptureState>& captures) {
    std::vector<std::pair<int, int>> jobs;
    for (int c = 0; c < int(captures.size()); ++c) {
        if (!captures[size_t(c)].registers) continue;
        for (int b = 0; b < captures[size_t(c)].files.size(); ++b)
            if (b != captures[size_t(c)].reference) jobs.emplace_back(c, b);
    }
    return runJobs(
        int(jobs.size()),
        [&](int j) {
            CaptureState& capture = captures[size_t(jobs[size_t(j)].first)];
            const int b = jobs[size_t(j)].second;
            BandState& band = capture.bands[size_t(b)];
            const bool fromCommon = hasMatrix(band.refFromBand);
            measureBand(capture, b, band);
            const BandQuality& q = band.record.quality;
            // Common matrices that measure well, and bands too plain to measure, stay as they are.
            if (fromCommon && (!q.measured || !needsBetter(q))) return;
            const cv::Mat ref = readBandImage(capture.files[capture.reference]);
            const cv::Mat image = readBandImage(capture.files[b]);
            if (ref.empty() || image.empty()) return;
            if (fromCommon) {
                const WindowRefineResult refined = refineByWindowShifts(ref, image, toMatx(band.refFromBand));
                const bool take = candidateBetter(refined.quality, q, false);
                qDebug() << "runCommonMode: capture" << capture.key << "band" << band.record.band << "common"
                         << figure(q) << "refined" << figure(refined.quality) << "px:" << (take ? "refined kept" : "common kept");
                if (take) {
                    band.refFromBand = toList(refined.refFromBand);
                    band.record.method = "common-refined";
                    band.record.quality = refined.quality;
                    if (!needsBetter(refined.quality)) return;
                }
            }
            // The capture's own registration, as per-group mode would do it; its failure is no notice
            // here, since the band keeps what it has.
            PairRegistrationSummary own;
            const QList<double> ownRefFromBand = m_pairMatrix(
                capture.files[capture.reference], capture.files[b],
                [](int, const QString& info) { qDebug() << "runCommonMode: own registration:" << info; },
                &own);
            if (!hasMatrix(ownRefFromBand)) return;
            const BandQuality ownQuality =
                measureBandQuality(ref, warpOntoReference(image, toMatx(ownRefFromBand), ref.size()));
            const bool take = candidateBetter(
                ownQuality, band.record.quality,
                !hasMatrix(band.refFromBand) || weakRegistration(band.pair.inliers, band.pair.ecc));
            qDebug() << "runCommonMode: capture" << capture.key << "band" << band.record.band << "kept"
                     << figure(band.record.quality) << "own" << figure(ownQuality)
                     << "px:" << (take ? "own kept" : "common kept");
            if (!take) return;
            band.refFromBand = ownRefFromBand;
            band.pair = own;
            band.record.method = "common-own";
            band.record.inliers = own.inliers;
            band.record.ecc = own.ecc;
            band.record.quality = ownQuality;
        },
        30, 70, QStringLiteral("Checking common matrices %1/%2"));
}

bool CImageRegistrationThread::measureThroughNeighbours(std::vector<CaptureState>& captures, int from, int to) {
    // A neighbour must itself be measured directly and placed well. Only such bands serve, and they do
    // not change here, so the jobs below are independent of each other and of their order.
    auto isNeighbour = [](const CaptureState& capture, int b) {
        const BandState& band = capture.bands[size_t(b)];
        return b != capture.reference && hasMatrix(band.refFromBand) && band.record.quality.measured &&
               band.record.measuredThrough.isEmpty() && !needsBetter(band.record.quality);
    };
    std::vector<std::pair<int, int>> jobs;
    for (int c = 0; c < int(captures.size()); ++c) {
        const CaptureState& capture = captures[size_t(c)];
        if (!capture.registers) continue;
        bool anyNeighbour = false;
        for (int b = 0; b < capture.files.size(); ++b) anyNeighbour = anyNeighbour || isNeighbour(capture, b);
        if (!anyNeighbour) continue;
        for (int b = 0; b < capture.files.size(); ++b) {
            const BandState& band = capture.bands[size_t(b)];
            if (b != capture.reference && hasMatrix(band.refFromBand) && !band.record.quality.measured)
                jobs.emplace_back(c, b);
        }
    }
    if (jobs.empty()) return !stopRequested();
    return runJobs(
        int(jobs.size()),
        [&](int j) {
            CaptureState& capture = captures[size_t(jobs[size_t(j)].first)];
            const int b = jobs[size_t(j)].second;
            BandState& band = capture.bands[size_t(b)];
            const cv::Mat ref = readBandImage(capture.files[capture.reference]);
            const cv::Mat image = readBandImage(capture.files[b]);
            if (ref.empty() || image.empty()) return;
            // Neighbours nearest in band order first (the files of a capture go by wavelength); among
            // those that measure, the most certain wins.
            std::vector<int> neighbours;
            for (int v = 0; v < capture.files.size(); ++v)
                if (v != b && isNeighbour(capture, v)) neighbours.push_back(v);
            std::stable_sort(neighbours.begin(), neighbours.end(),
                             [b](int x, int y) { return std::abs(x - b) < std::abs(y - b); });
            const cv::Mat warped = warpOntoReference(image, toMatx(band.refFromBand), ref.size());
            int best = -1;
            cv::Mat bestVia;
            BandQuality bestQuality;
            for (int v : neighbours) {
                const cv::Mat viaImage = readBandImage(capture.files[v]);
                if (viaImage.empty()) continue;
                const BandState& via = capture.bands[size_t(v)];
                const cv::Mat viaWarped = warpOntoReference(viaImage, toMatx(via.refFromBand), ref.size());
                const BandQuality q = measureBandQualityThrough(viaWarped, via.record.quality, warped);
                qDebug() << "measureThroughNeighbours: capture" << capture.key << "band" << band.record.band
                         << "through" << via.record.band << figure(q) << "px, windows" << q.windows
                         << "uncertainty" << q.uncertainty;
                if (best < 0 || (q.measured && (!bestQuality.measured || q.uncertainty < bestQuality.uncertainty))) {
                    best = v;
                    bestVia = viaWarped;
                    bestQuality = q;
                }
            }
            if (best < 0) return;
            const BandState& via = capture.bands[size_t(best)];
            if (bestQuality.measured && !needsBetter(bestQuality)) {
                band.record.quality = bestQuality;
                band.record.measuredThrough = via.record.band;
                return;
            }
            // Off (or still unmeasurable) through its neighbour: its matrix refined onto that
            // neighbour, which shares more texture with it than the reference does.
            const WindowRefineResult refined = refineByWindowShifts(bestVia, image, toMatx(band.refFromBand));
            const BandQuality q = measureBandQualityThrough(
                bestVia, via.record.quality, warpOntoReference(image, refined.refFromBand, ref.size()));
            const bool take = q.measured && (bestQuality.measured ? candidateBetter(q, bestQuality, false)
                                                                  : !needsBetter(q));
            qDebug() << "measureThroughNeighbours: capture" << capture.key << "band" << band.record.band
                     << "refined onto" << via.record.band << figure(q) << "px after" << refined.rounds
                     << "rounds:" << (take ? "refined kept" : "kept");
            if (take) {
                band.refFromBand = toList(refined.refFromBand);
                band.record.method = "bridged";
                band.record.quality = q;
                band.record.measuredThrough = via.record.band;
            } else if (bestQuality.measured) {
                band.record.quality = bestQuality;
                band.record.measuredThrough = via.record.band;
            }
        },
        from, to, QStringLiteral("Measuring bands through their neighbours %1/%2"));
}

// The files to merge of one capture: its bands warped onto the reference by their matrices (into
// the run's work folder), the reference and bands that cannot be warped as they are; each band's
// record takes its verdict. Then the merged file is written and the warped files removed.
CImageRegistrationThread::MergeOutcome CImageRegistrationThread::mergeCapture(CaptureState& capture, int c,
                                                                              bool commonLog) {
    MergeOutcome outcome;
    const int n = capture.files.size();
    const QString referencePath = capture.files[capture.reference];
    const QString prefix = regnames::prefixOf(referencePath);
    QStringList registered;
    for (int b = 0; b < n; ++b) {
        BandState& band = capture.bands[size_t(b)];
        bool warped = false;
        if (b == capture.reference || !capture.registers) {
            registered << capture.files[b];
        } else if (hasMatrix(band.refFromBand)) {
            // Named by capture (its place in the run, as two folders may hold the same names) and
            // band: captures are merged side by side.
            const QString path = QString("%1/%2_%3_%4_reg_%5.tif")
                                     .arg(m_workFolder, prefix, regnames::groupNumberOf(referencePath))
                                     .arg(c)
                                     .arg(b);
            if (registrationConversion(capture.files[b], path, band.refFromBand)) {
                registered << path;
                warped = true;
            } else {
                qDebug() << (commonLog ? "can not correct"
                                       : "Registration conversion failed, using original:")
                         << capture.files[b];
                registered << capture.files[b];
            }
        } else {
            if (!commonLog) qDebug() << "Registration failed, using original:" << capture.files[b];
            registered << capture.files[b];
        }
        if (b != capture.reference && capture.registers) {
            if (!warped) band.record.method = "none";
            band.record.refFromBand = warped ? band.refFromBand : QList<double>();
            assignVerdict(band.record, warped);
        } else if (b != capture.reference) {
            band.record.method = "none";
            assignVerdict(band.record, false);
        } else {
            assignVerdict(band.record, true);
        }
        outcome.records.push_back(band.record);
    }
    outcome.merged =
        mergeGroup(capture.key, capture.files, registered, referencePath, commonLog, outcome.records);
    if (n >= 2) removeTemporaryEntries(registered, capture.reference);
    outcome.finished = true;
    return outcome;
}

// The merging's summary: the bands to look at, the message, the signals of a completed run.
void CImageRegistrationThread::announceMerged(int captureCount, int merged, const QStringList& qualityFiles) {
    const QStringList look = bandsToLookAt(m_records);
    for (const QString& band : look) qDebug() << "registrationQuality: needs a look:" << band;
    QString message = QStringLiteral("结果文件生成完成: 共%1组, 成功%2组").arg(captureCount).arg(merged);
    if (!look.isEmpty())
        message += QStringLiteral("；%1个波段配准需检查（残差大于1像素、无法测量或未配准），见 %2")
                       .arg(look.size())
                       .arg(m_qualityFile);
    qDebug() << message;
    if (merged > 0) emit signalRegistrationQuality(look, qualityFiles);
    emit signalRegistrationFinished(true, message);
}

void CImageRegistrationThread::mergeAndReport(std::vector<CaptureState>& captures, bool commonLog, int from) {
    if (!QDir().mkpath(m_workFolder)) qDebug() << "CImageRegistrationThread: cannot create" << m_workFolder;
    m_records.clear();
    QStringList folders;  // result folders in the order they first appear
    QMap<QString, std::vector<BandRegistrationRecord>> perFolder;
    auto writeQualityFiles = [&]() {
        QStringList written;
        for (const QString& folder : folders) {
            const QString path = QDir(folder).filePath(m_qualityFile);
            if (writeRegistrationQualityCsv(path, perFolder[folder])) written << path;
        }
        return written;
    };
    const int G = int(captures.size());
    // Each capture is warped, merged and tagged as a job of its own (its files are its own); what the
    // run keeps of it (records, quality files, log lines, progress) is taken in capture order.
    std::vector<MergeOutcome> outcomes(static_cast<size_t>(G));
    int merged = 0;
    auto keep = [&](int c) {
        const CaptureState& capture = captures[size_t(c)];
        const MergeOutcome& outcome = outcomes[size_t(c)];
        for (int b = 0; b < capture.files.size(); ++b)
            if (b != capture.reference && capture.registers)
                qDebug().noquote() << describeRecord(outcome.records[size_t(b)]);
        if (!outcome.merged) return;
        ++merged;
        const QString folder = QFileInfo(capture.files[capture.reference]).absolutePath();
        if (!perFolder.contains(folder)) folders << folder;
        auto& list = perFolder[folder];
        list.insert(list.end(), outcome.records.begin(), outcome.records.end());
        m_records.insert(m_records.end(), outcome.records.begin(), outcome.records.end());
    };
    int kept = 0;
    const bool complete = runJobs(
        G, [&](int c) { outcomes[size_t(c)] = mergeCapture(captures[size_t(c)], c, commonLog); },
        [&](int c) {
            keep(c);
            kept = c + 1;
            emit signalRegistrationProgress(from + (100 - from) * (c + 1) / G,
                                            QString("Processed %1/%2 groups").arg(c + 1).arg(G));
        });
    if (!complete) {
        // Captures merged before the stop keep their quality records.
        for (int c = kept; c < G; ++c)
            if (outcomes[size_t(c)].finished) keep(c);
        writeQualityFiles();
        return finishStopped();
    }
    removeWorkFolder();
    announceMerged(G, merged, writeQualityFiles());
}

}  // namespace refl
