// The registration thread with stand-in matrix estimators: which files it takes, how it groups
// them, its progress values, stops, and what it leaves on disk.
#include "image_registration_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <vector>

#include "merge_bands.h"
#include "raw_tiff_writer.h"
#include "xmp_packet.h"

using namespace refl;

namespace {

void touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
}

// A small band file with a relative altitude in its XMP; pixel value = base + x.
void writeBand(const QString& path, double altitude, int base, int w = 48, int h = 32) {
    std::vector<quint16> px(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) px[size_t(y) * w + x] = quint16(base + x + 1);
    reflsample::XmpContent x;
    x.serial = "CW2401D0098";
    x.relativeAltitude = altitude;
    reflsample::RawBandFile f;
    f.layout = reflsample::RawLayout::Keyed;
    f.width = w;
    f.height = h;
    f.pixels = px.data();
    f.xmp = reflsample::buildXmpPacket(x);
    f.exif.make = "Quorvin";
    f.exif.model = "GL520";
    ASSERT_TRUE(reflsample::writeWholeFile(path, reflsample::buildRawBandTiff(f)));
}

const QList<double> kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

struct Recorder {
    QMutex mutex;
    QVector<int> progress;
    QStringList infos;
    QVector<bool> finishedOk;
    QStringList finishedInfo;

    void attach(CImageRegistrationThread& t) {
        QObject::connect(
            &t, &CImageRegistrationThread::signalRegistrationProgress, &t,
            [this](int p, const QString& s) {
                QMutexLocker lock(&mutex);
                progress << p;
                infos << s;
            },
            Qt::DirectConnection);
        QObject::connect(
            &t, &CImageRegistrationThread::signalRegistrationFinished, &t,
            [this](bool ok, const QString& s) {
                QMutexLocker lock(&mutex);
                finishedOk << ok;
                finishedInfo << s;
            },
            Qt::DirectConnection);
    }
};

class ThreadTest : public ::testing::Test {
protected:
    // `groups` captures of the given band names in folder "out".
    void makeFlight(int groups, const QStringList& bands, QVector<double> altitudes = {}) {
        QDir().mkpath(out());
        for (int g = 0; g < groups; ++g)
            for (int b = 0; b < bands.size(); ++b)
                writeBand(QString("%1/IMG_%2_%3_Correct.tif")
                              .arg(out())
                              .arg(g + 1, 4, 10, QChar('0'))
                              .arg(bands[b]),
                          altitudes.value(g, 60.0), 1000 * (b + 1));
    }
    QString out() const { return dir.filePath("out"); }
    void run(CImageRegistrationThread& t) {
        t.setTemporaryFolder(dir.filePath("temp_reg"));
        rec.attach(t);
        t.start();
        ASSERT_TRUE(t.wait(60000));
    }
    QTemporaryDir dir;
    Recorder rec;
};

TEST(RegistrationScan, CorrectedTwinPreferredAndExclusions) {
    QTemporaryDir dir;
    const QString d = dir.path();
    for (const char* name : {"IMG_0001_550nm.tif", "IMG_0001_550nm_Correct.tif", "IMG_0001_660nm.TIF",
                             "IMG_0001_Multi.tif", "IMG_0002_multi.tif", "IMG_0003_1_GreyBoard_450nm.tif",
                             "IMG_0004_450nm_valid_mask.tif", "notes.txt"})
        touch(d + "/" + name);
    QDir().mkpath(d + "/sub");
    touch(d + "/sub/IMG_0009_720nm.tif");
    QStringList files;
    CImageRegistrationThread::scanTifFiles(d, files);
    QStringList names;
    for (const QString& f : files) names << QFileInfo(f).fileName();
    names.sort();
    EXPECT_EQ(names, QStringList({"IMG_0001_550nm_Correct.tif", "IMG_0001_660nm.TIF", "IMG_0009_720nm.tif"}));
    EXPECT_TRUE(QFileInfo(files.first()).isAbsolute());
    CImageRegistrationThread::scanTifFiles(d + "/missing", files);
    EXPECT_EQ(files.size(), 3);
}

TEST(RegistrationScan, GroupsSortByWavelengthAndKeepFoldersApart) {
    const QStringList files{"/a/IMG_0002_840nm_Correct.tif", "/a/IMG_0002_450nm_Correct.tif",
                            "/a/IMG_0001_x.tif", "/a/IMG_0002_660NM_Correct.tif", "/a/nounderscore.tif"};
    const auto groups = CImageRegistrationThread::groupByGroupNumber(files);
    ASSERT_EQ(groups.keys(), QStringList({"0001", "0002"}));
    EXPECT_EQ(groups["0002"], QStringList({"/a/IMG_0002_450nm_Correct.tif", "/a/IMG_0002_660NM_Correct.tif",
                                           "/a/IMG_0002_840nm_Correct.tif"}));
    const auto split =
        CImageRegistrationThread::groupByGroupNumber({"/a/IMG_0001_1.tif", "/b/IMG_0001_1.tif"});
    EXPECT_EQ(split.size(), 2) << "the same capture number in two flights is two captures";
    EXPECT_EQ(
        CImageRegistrationThread::referenceIndex({"a_1_450", "a_1_555", "a_1_720", "a_1_750", "a_1_840"}), 2);
    EXPECT_EQ(CImageRegistrationThread::referenceIndex({"a_1_450", "a_1_660nm", "a_1_720"}), 1);
    EXPECT_EQ(regnames::wavelengthOf("/x/IMG_0001_660nm_Correct.tif"), 660);
    EXPECT_EQ(regnames::wavelengthOf("/x/IMG_0001_red.tif"), 0);
    EXPECT_EQ(regnames::bandNameOf("/x/IMG_0001_3.tif"), "3");
}

TEST_F(ThreadTest, ReadsRelativeAltitude) {
    makeFlight(1, {"450nm"}, {73.5});
    EXPECT_DOUBLE_EQ(CImageRegistrationThread::readRelativeAltitude(out() + "/IMG_0001_450nm_Correct.tif"),
                     73.5);
    EXPECT_EQ(CImageRegistrationThread::readRelativeAltitude(out() + "/absent.tif"), -9999.0);
}

TEST_F(ThreadTest, PerGroupProgressForTwoGroupsOfFive) {
    makeFlight(2, {"450nm", "555nm", "720nm", "750nm", "840nm"});
    CImageRegistrationThread t({out()}, 5, false, true);
    QStringList refs;
    t.setMatrixFunctions(
        [&](const QString& ref, const QString&, const RegistrationProgressCallback&) {
            refs << QFileInfo(ref).fileName();
            return kIdentity;
        },
        {});
    run(t);
    // Eight band matrices, the second look at the eight bands that cannot be measured (plain
    // stand-in images), then the two merges.
    EXPECT_EQ(rec.progress, QVector<int>({8, 17, 26, 35, 43, 52, 61, 70, 71, 72, 73, 75, 76, 77, 78, 80, 90, 100}));
    EXPECT_EQ(rec.infos[0], "Registering bands 1/8");
    EXPECT_EQ(rec.infos[16], "Processed 1/2 groups");
    EXPECT_EQ(refs.first(), "IMG_0001_720nm_Correct.tif") << "middle band without 660";
    ASSERT_EQ(rec.finishedOk, QVector<bool>({true}));
    EXPECT_EQ(rec.finishedInfo.first(), "结果文件生成完成: 共2组, 成功2组");
    // A run's own band files are gone; only the merged captures remain, and no scratch files.
    EXPECT_EQ(QDir(out()).entryList(QDir::Files | QDir::Hidden),
              QStringList({"IMG_0001_Multi.tif", "IMG_0002_Multi.tif", "registration_quality.csv"}));
    EXPECT_FALSE(QDir(dir.filePath("temp_reg")).exists());
    const auto bands = readMergedBands(out() + "/IMG_0001_Multi.tif");
    ASSERT_EQ(bands.size(), 5u);
    EXPECT_EQ(bands[0].type(), CV_32F);
}

// Two workers: the matrices come out of order (the first band is the slowest), yet notices,
// progress values and the merged result are those of one thread.
TEST_F(ThreadTest, TwoBandWorkersKeepTheOrderOfOne) {
    makeFlight(2, {"450nm", "555nm", "720nm", "750nm", "840nm"});
    CImageRegistrationThread t({out()}, 5, false, true);
    t.setDeleteIntermediates(false);
    t.setBandWorkers(2);
    std::mutex mutex;
    QStringList order;
    std::set<std::thread::id> threads;
    t.setMatrixFunctions(
        [&](const QString&, const QString& src, const RegistrationProgressCallback& cb) {
            const bool first = src.contains("_450nm");
            if (first) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            {
                std::lock_guard<std::mutex> lock(mutex);
                order << QFileInfo(src).fileName().section('_', 1, 2);
                threads.insert(std::this_thread::get_id());
            }
            if (src.contains("_555nm") || first) {
                cb(-1, "波段 " + QFileInfo(src).fileName() + " 配准失败");
                return QList<double>();
            }
            return kIdentity;
        },
        {});
    run(t);
    EXPECT_EQ(threads.size(), 2u);
    EXPECT_NE(order.first(), "0001_450nm") << "the slow first band finished after others";
    // A band whose matrix failed sends its notice and no progress value of its own.
    EXPECT_EQ(rec.progress,
              QVector<int>({8, 17, 26, 35, 43, 52, 61, 70, -1, -1, -1, -1, 71, 72, 73, 75, 76, 77, 78, 80, 90, 100}));
    EXPECT_TRUE(rec.infos[8].contains("IMG_0001_450nm")) << "notices in capture and band order";
    EXPECT_TRUE(rec.infos[9].contains("IMG_0001_555nm"));
    EXPECT_TRUE(rec.infos[10].contains("IMG_0002_450nm"));
    ASSERT_EQ(rec.finishedOk, QVector<bool>({true}));
    const auto bands = readMergedBands(out() + "/IMG_0002_Multi.tif");
    ASSERT_EQ(bands.size(), 5u);
    EXPECT_EQ(bands[0].type(), CV_32F);
}

TEST_F(ThreadTest, CommonModeProgressAndNoticeForwarding) {
    makeFlight(2, {"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"});
    CImageRegistrationThread t({out()}, 6, true, false);
    t.setDeleteIntermediates(false);
    int calls = 0;
    t.setMatrixFunctions(
        {}, [&](const QStringList& refs, const QStringList& srcs, const RegistrationProgressCallback& cb) {
            EXPECT_EQ(refs.size(), 2);
            EXPECT_TRUE(refs.first().endsWith("IMG_0001_660nm_Correct.tif"));
            EXPECT_EQ(srcs.size(), 2);
            if (++calls == 2) {
                cb(-1, "波段 x 配准失败");
                return QList<double>();
            }
            return kIdentity;
        });
    run(t);
    EXPECT_EQ(rec.progress,
              QVector<int>({6, 12, 18, 24, 30, -1, 34, 38, 42, 46, 50, 54, 58, 62, 66, 70, 85, 100}));
    EXPECT_EQ(rec.infos[0], "Computing common matrix for band 1/5");
    ASSERT_EQ(rec.finishedOk, QVector<bool>({true}));
    EXPECT_EQ(QDir(out()).entryList({"*_Correct.tif"}, QDir::Files).size(), 12) << "kept when asked to";
    const auto bands = readMergedBands(out() + "/IMG_0002_Multi.tif");
    ASSERT_EQ(bands.size(), 6u);
    EXPECT_EQ(bands[0].type(), CV_16U);
    EXPECT_EQ(bands[1].at<quint16>(3, 5), 2000 + 6) << "unregistered band merged as it is";
    EXPECT_EQ(bands[0].at<quint16>(3, 5), 1000 + 6) << "identity warp keeps the pixels";
}

TEST_F(ThreadTest, CommonModeCaptureWithoutTheReferenceBandIsMergedAsItIs) {
    makeFlight(1, {"450nm", "555nm", "660nm", "720nm"}, {60});
    writeBand(out() + "/IMG_0002_450nm_Correct.tif", -9999, 1000);
    writeBand(out() + "/IMG_0002_555nm_Correct.tif", -9999, 2000);
    CImageRegistrationThread t({out()}, 4, true, false);
    t.setMatrixFunctions({}, [](const QStringList&, const QStringList&, const RegistrationProgressCallback&) {
        return kIdentity;
    });
    run(t);
    ASSERT_EQ(rec.finishedOk, QVector<bool>({true}));
    // The capture's bands are not registered: they are named for a look.
    EXPECT_TRUE(rec.finishedInfo.first().startsWith("结果文件生成完成: 共2组, 成功2组；1个波段配准需检查"))
        << rec.finishedInfo.first().toStdString();
    EXPECT_EQ(readMergedBands(out() + "/IMG_0002_Multi.tif").size(), 2u);
}

TEST_F(ThreadTest, StopBeforeTheFirstGroupMergesNothing) {
    makeFlight(2, {"450nm", "660nm"});
    CImageRegistrationThread t({out()}, 2, false, true);
    t.setMatrixFunctions(
        [](const QString&, const QString&, const RegistrationProgressCallback&) { return kIdentity; }, {});
    t.stop();  // raised while the files are being scanned
    run(t);
    EXPECT_EQ(rec.finishedOk, QVector<bool>({false}));
    EXPECT_EQ(rec.finishedInfo, QStringList({"已取消"}));
    EXPECT_TRUE(QDir(out()).entryList({"*_Multi.tif"}, QDir::Files).isEmpty());
    EXPECT_EQ(QDir(out()).entryList(QDir::Files).size(), 4);
}

TEST_F(ThreadTest, StopDuringAGroupLeavesNoScratchFiles) {
    makeFlight(2, {"450nm", "555nm", "660nm", "720nm"});
    CImageRegistrationThread t({out()}, 4, false, true);
    int calls = 0;
    t.setMatrixFunctions(
        [&](const QString&, const QString&, const RegistrationProgressCallback&) {
            if (++calls == 2) t.stop();
            return kIdentity;
        },
        {});
    run(t);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(rec.finishedInfo, QStringList({"已取消"}));
    EXPECT_TRUE(QDir(out()).entryList({"*_Multi.tif"}, QDir::Files).isEmpty());
    EXPECT_EQ(QDir(out()).entryList(QDir::Files).size(), 8) << "nothing deleted";
    EXPECT_FALSE(QDir(dir.filePath("temp_reg")).exists());
}

TEST_F(ThreadTest, EmptyFolderAndFailedMergeDeleteNothing) {
    QDir().mkpath(out());
    {
        CImageRegistrationThread t({out()}, 6, false, true);
        run(t);
        EXPECT_EQ(rec.finishedInfo, QStringList({"No TIF files found"}));
    }
    // Band files GDAL cannot read: the merge fails and the files stay.
    touch(out() + "/IMG_0001_450nm_Correct.tif");
    touch(out() + "/IMG_0001_660nm_Correct.tif");
    {
        QFile earlier(out() + "/IMG_0001_Multi.tif");  // an earlier run's result
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier result");
    }
    Recorder second;
    CImageRegistrationThread t({out()}, 2, false, true);
    t.setMatrixFunctions(
        [](const QString&, const QString&, const RegistrationProgressCallback&) { return QList<double>(); },
        {});
    t.setTemporaryFolder(dir.filePath("temp_reg"));
    second.attach(t);
    t.start();
    ASSERT_TRUE(t.wait(60000));
    EXPECT_EQ(second.finishedInfo, QStringList({"结果文件生成完成: 共1组, 成功0组"}));
    EXPECT_EQ(QDir(out()).entryList(QDir::Files | QDir::Hidden).size(), 3) << "no scratch file left";
    QFile earlier(out() + "/IMG_0001_Multi.tif");
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(earlier.readAll(), QByteArray("earlier result")) << "a failed merge keeps the earlier result";
}

TEST_F(ThreadTest, WarpMovesPixelsByTheMatrix) {
    QDir().mkpath(out());
    const QString band = out() + "/IMG_0001_450nm.tif";
    writeBand(band, 60, 1000);
    const QString warped = dir.filePath("w.tif");
    // Band pixel x lands on reference pixel x + 3.
    ASSERT_TRUE(CImageRegistrationThread::registrationConversion(band, warped, {1, 0, 3, 0, 1, 0, 0, 0, 1}));
    const auto w = readMergedBands(warped);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].at<quint16>(5, 10), 1000 + 7 + 1);
    EXPECT_EQ(w[0].at<quint16>(5, 2), 0) << "outside the band";
    EXPECT_EQ(w[0].at<quint16>(5, 47), 1000 + 44 + 1);
    ASSERT_TRUE(CImageRegistrationThread::registrationConversion(band, warped, kIdentity));
    EXPECT_EQ(readMergedBands(warped)[0].at<quint16>(5, 47), 0) << "last column has no right neighbour";
    // Half a pixel: bilinear, truncated.
    ASSERT_TRUE(
        CImageRegistrationThread::registrationConversion(band, warped, {1, 0, 0.5, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(readMergedBands(warped)[0].at<quint16>(5, 10), 1000 + 10 + 1 - 1);
    EXPECT_FALSE(CImageRegistrationThread::registrationConversion(band, warped, {1, 0, 0}));
    EXPECT_FALSE(CImageRegistrationThread::registrationConversion(band, warped, {0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(CImageRegistrationThread::registrationConversion(out() + "/none.tif", warped, kIdentity));
}

}  // namespace
