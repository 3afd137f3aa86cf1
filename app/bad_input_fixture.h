// The bad-input suite's fixture: reflectivity-batch runs as its own process over a small generated
// flight (six-band camera type 6 at 640 x 480, two captures) with one thing wrong at a time. Every case
// checks that the program ends normally, says what it refused, exits with the right status, leaves
// every raw file as it was, leaves no incomplete file under a final name, and still converts the
// good images of the same run.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>

#include "bad_input_support.h"

namespace badinput {

inline const QString kVictim = QStringLiteral("IMG_0002_3_660nm.tif");
inline const QString kNotConvertedOne =
    QStringLiteral("reflectivity-batch: 1 of 12 images not converted (see the log): IMG_0002_3_660nm.tif");
inline const QString kUnreadable = QStringLiteral("run: raw image could not be read, nothing written:");
inline const QString kOwnCalibration =
    QStringLiteral("could not be read from its own metadata, nothing written");

inline QString tail(const QString& text) { return text.right(1500); }

inline QString correctName(const QString& name) {
    return QFileInfo(name).completeBaseName() + "_Correct.tif";
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_flight =
            sampleFlight("t6-640", {"--type", "6", "--size", "640x480", "--captures", "2", "--no-old-panel"});
        ASSERT_FALSE(m_flight.isEmpty()) << "reflectivity-sample did not make the flight";
        m_raw = path("raw");
        m_out = path("out");
        m_logs = path("logs");
    }

    QString path(const QString& relative) const { return m_tmp.filePath(relative); }
    QStringList flightNames() const { return QDir(m_flight + "/flight").entryList({"*.tif"}, QDir::Files); }

    void makeRaw(const QString& raw) { ASSERT_TRUE(copyTree(m_flight + "/flight", raw)); }

    QStringList panelArgs(const QString& folder) const {
        QStringList args;
        for (const QString& name : QDir(folder).entryList({"*.tif"}, QDir::Files))
            args << "--panel" << folder + "/" + name;
        return args;
    }

    BatchResult radiance(const QString& raw, const QString& out) {
        return runBatch(
            {"--raw", raw, "--out", out, "--radiance", "--registration", "none", "--no-self-calibration"},
            m_logs);
    }
    BatchResult reflectance(const QString& raw, const QString& out, const QStringList& panels) {
        return runBatch(
            QStringList{"--raw", raw, "--out", out, "--registration", "none", "--no-self-calibration"} +
                panels,
            m_logs);
    }

    // Both outputs of every flight image except `except` stand complete in `folder`.
    void expectConverted(const QString& folder, const QStringList& except = {}) {
        for (const QString& name : flightNames()) {
            if (except.contains(name)) continue;
            EXPECT_TRUE(QFileInfo::exists(folder + "/" + name))
                << "good image not converted: " << name.toStdString();
            EXPECT_TRUE(QFileInfo::exists(folder + "/" + correctName(name)))
                << "good image not lens-corrected: " << name.toStdString();
        }
        const QStringList problems = outputProblems(QFileInfo(folder).absolutePath());
        EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
    }

    // A radiance run over the flight with the victim image replaced by `damage(bytes)`.
    BatchResult runWithDamagedVictim(const std::function<void(QByteArray&)>& damage) {
        QDir(m_raw).removeRecursively();
        QDir(m_out).removeRecursively();
        QDir(m_logs).removeRecursively();
        makeRaw(m_raw);
        QByteArray bytes = readAll(m_raw + "/" + kVictim);
        damage(bytes);
        writeAll(m_raw + "/" + kVictim, bytes);
        const auto before = checksums(m_raw);
        const BatchResult r = radiance(m_raw, m_out);
        EXPECT_EQ(checksums(m_raw), before) << "a raw file changed";
        return r;
    }

    // The victim was refused with `reason` in the log; every other image was converted.
    void expectVictimRefused(const BatchResult& r, const QString& reason, const QString& then = kUnreadable) {
        ASSERT_TRUE(r.normalExit()) << "crashed or hung: " << tail(r.err).toStdString();
        EXPECT_EQ(r.code, 1) << tail(r.err).toStdString();
        EXPECT_TRUE(r.err.contains(kNotConvertedOne)) << tail(r.err).toStdString();
        EXPECT_TRUE(r.log.contains(reason)) << "log lacks: " << reason.toStdString();
        EXPECT_TRUE(r.log.contains(then + " \"" + m_raw + "/" + kVictim))
            << "log lacks: " << then.toStdString();
        EXPECT_FALSE(QFileInfo::exists(m_out + "/raw/" + kVictim));
        EXPECT_FALSE(QFileInfo::exists(m_out + "/raw/" + correctName(kVictim)));
        expectConverted(m_out + "/raw", {kVictim});
    }

    QTemporaryDir m_tmp;
    QString m_flight, m_raw, m_out, m_logs;
};

}  // namespace badinput
