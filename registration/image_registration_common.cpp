// Common mode's matrices: the captures they are estimated on (or the matrices a flight state gives),
// their estimation on the band workers, and their use on every capture that has the reference band.
#include <QDebug>

#include "image_registration_thread.h"

namespace refl {

namespace {

// Band b's inputs: the reference and band b of every selected capture that has both.
void commonInputs(const QMap<QString, QStringList>& groups, const QStringList& selected, int r, int b,
                  QStringList& refs, QStringList& srcs) {
    for (const QString& key : selected) {
        const QStringList files = groups.value(key);
        if (files.size() > b && files.size() > r) {
            refs << files[r];
            srcs << files[b];
        }
    }
}

}  // namespace

CImageRegistrationThread::CommonPlan CImageRegistrationThread::planCommonMatrices(
    const QMap<QString, QStringList>& groups) {
    CommonPlan plan;
    if (m_commonPreset) {
        qDebug() << "runCommonMode: matrices given for" << m_commonRefFromBand.size()
                 << "bands, reference band" << m_commonReference;
        emit signalRegistrationProgress(
            30, QString("Common matrices given for %1 bands").arg(m_commonRefFromBand.size()));
    }
    plan.selected = m_commonPreset ? QStringList() : findComparableAltitudeGroups(groups, 5);
    qDebug() << "runCommonMode: selected" << plan.selected.size() << "groups for matrix computation"
             << plan.selected;

    // Reference index and band count come from the first selected capture; without one no matrix
    // is computed and every capture is merged unregistered. Given matrices are used as they are.
    int& r = plan.reference;
    int& n = plan.bandCount;
    if (!plan.selected.isEmpty()) {
        const QStringList first = groups.value(plan.selected.first());
        r = referenceIndex(first);
        n = first.size();
    }
    if (m_commonPreset) {
        r = m_commonReference;
        for (auto it = m_commonRefFromBand.begin(); it != m_commonRefFromBand.end(); ++it)
            n = std::max(n, it.key() + 1);
        n = std::max(n, r + 1);
    }
    plan.bands.resize(size_t(std::max(n, 0)));
    for (int b = 0; b < n; ++b) {
        if (b == r) continue;
        if (m_commonPreset) {
            plan.bands[size_t(b)].refFromBand = m_commonRefFromBand.value(b);
            plan.bands[size_t(b)].computed = true;
        } else {
            plan.toCompute.push_back(b);
        }
    }
    return plan;
}

void CImageRegistrationThread::reportCommonBand(int j, int count) {
    emit signalRegistrationProgress(30 * (j + 1) / count,
                                    QString("Computing common matrix for band %1/%2").arg(j + 1).arg(count));
}

bool CImageRegistrationThread::computeCommonMatricesByCapture(const QMap<QString, QStringList>& groups,
                                                              CommonPlan& plan) {
    // Every (band, capture) attempt is a job of its own, so that all workers stay busy; each band
    // then takes the best of its attempts in capture order, as one band job would.
    const std::vector<int>& bands = plan.toCompute;
    const int bandCount = int(bands.size());
    std::vector<QStringList> refs(bands.size()), srcs(bands.size());
    std::vector<std::vector<CommonGroupAttempt>> attempts(bands.size());
    std::vector<std::pair<int, int>> jobs;
    for (int j = 0; j < bandCount; ++j) {
        commonInputs(groups, plan.selected, plan.reference, bands[size_t(j)], refs[size_t(j)],
                     srcs[size_t(j)]);
        qDebug() << "runCommonMode: computing matrix for band" << bands[size_t(j)] << "with"
                 << refs[size_t(j)].size() << "groups";
        attempts[size_t(j)].resize(size_t(refs[size_t(j)].size()));
        for (int i = 0; i < refs[size_t(j)].size(); ++i) jobs.emplace_back(j, i);
    }
    int reported = 0;
    const bool complete = runJobs(
        int(jobs.size()),
        [&](int k) {
            const auto [j, i] = jobs[size_t(k)];
            attempts[size_t(j)][size_t(i)] =
                attemptCommonGroup(refs[size_t(j)][i], srcs[size_t(j)][i], i, &m_referenceCache);
        },
        [&](int k) {
            const bool lastOfBand =
                k + 1 == int(jobs.size()) || jobs[size_t(k) + 1].first != jobs[size_t(k)].first;
            if (lastOfBand)
                while (reported <= jobs[size_t(k)].first) reportCommonBand(reported++, bandCount);
        });
    if (!complete) return false;
    while (reported < bandCount) reportCommonBand(reported++, bandCount);
    for (int j = 0; j < bandCount; ++j) {
        BandState& band = plan.bands[size_t(bands[size_t(j)])];
        band.refFromBand = chooseCommonMatrix(
            attempts[size_t(j)],
            [&band](int progress, const QString& info) { band.notices.append(qMakePair(progress, info)); },
            &band.pair);
        band.computed = true;
    }
    return true;
}

bool CImageRegistrationThread::computeCommonMatricesByBand(const QMap<QString, QStringList>& groups,
                                                           CommonPlan& plan) {
    const int bandCount = int(plan.toCompute.size());
    return runJobs(
        bandCount,
        [&](int j) {
            const int b = plan.toCompute[size_t(j)];
            QStringList refs, srcs;
            commonInputs(groups, plan.selected, plan.reference, b, refs, srcs);
            qDebug() << "runCommonMode: computing matrix for band" << b << "with" << refs.size() << "groups";
            BandState& band = plan.bands[size_t(b)];
            band.refFromBand = m_commonMatrix(
                refs, srcs,
                [&band](int progress, const QString& info) {
                    band.notices.append(qMakePair(progress, info));
                },
                &band.pair);
            band.computed = true;
        },
        [&](int j) { reportCommonBand(j, bandCount); });
}

void CImageRegistrationThread::forwardCommonNotices(const CommonPlan& plan) {
    for (int b : plan.toCompute) {
        const BandState& band = plan.bands[size_t(b)];
        for (const auto& notice : band.notices) emit signalRegistrationProgress(notice.first, notice.second);
        if (!band.computed) continue;
        if (hasMatrix(band.refFromBand))
            qDebug() << "runCommonMode: matrix for band" << b << "computed successfully" << band.refFromBand;
        else
            qDebug() << "runCommonMode: matrix computation failed for band" << b;
    }
}

void CImageRegistrationThread::applyCommonMatrices(const CommonPlan& plan,
                                                   std::vector<CaptureState>& captures) const {
    for (CaptureState& capture : captures) {
        if (!capture.registers) {
            if (capture.files.size() >= 2)
                qDebug() << "runCommonMode: group" << capture.key << "has no reference band" << plan.reference
                         << ", merged unregistered";
            continue;
        }
        for (int b = 0; b < capture.files.size() && b < plan.bandCount; ++b) {
            if (b == plan.reference || !hasMatrix(plan.bands[size_t(b)].refFromBand)) continue;
            // The figures of the attempt behind a common matrix belong to another capture (or to an
            // earlier run whose state gave the matrices): a capture's record leaves them out, so that a
            // run and its shards write the same files.
            BandState& band = capture.bands[size_t(b)];
            band.refFromBand = plan.bands[size_t(b)].refFromBand;
            band.record.method = "common";
        }
    }
}

}  // namespace refl
