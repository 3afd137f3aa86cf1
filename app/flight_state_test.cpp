#include "flight_state.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cmath>
#include <cstring>

#include "capture_shards.h"

using namespace refl;

namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

FlightState awkwardState() {
    FlightState s;
    s.program = "reflectivity-batch test";
    s.created = "2026-01-01T00:00:00Z";
    s.rawDirectory = "/data/飞行 1";
    s.flightFingerprint = "abc";
    s.imageCount = 48;
    s.captureCount = 8;
    s.cameraType = 6;
    s.serial = "CW2401D0098";
    s.make = "Quorvin";
    s.model = "GL520";
    s.width = 640;
    s.height = 480;
    s.pixelSizeUm = 3.75;
    s.focalMm = 5.2;
    s.bandLabels = QStringList{"450nm", "555nm", "660nm"};
    for (int b = 0; b < 3; ++b) {
        RadiometricCalibration r;
        r.a0 = 1.0 / 3.0 + b;
        r.centreX = 320.123456789012345;
        r.k0 = -1e-300;
        r.k5 = 6.02214076e23;
        r.darkLevel = uint16_t(4096 + b);
        r.irradiance = std::nan("");  // absent values travel as null
        s.calibration << r;
    }
    s.reflectance = true;
    s.panelValues = {0.1, 0.2 + 1e-17, 2.0 / 7.0};
    s.standardReflectance = {{0.61, 0.5, 0.123456789, 0.61, 0.61, 0.61}};
    s.selfCalibrationRan = true;
    s.lensBandKeys = QStringList{"1", "2", "3"};
    CameraCalibParams p;
    p.fx = 1386.123456789;
    p.fy = 1386.987654321;
    p.cx = 320.5;
    p.cy = 241.25;
    p.k1 = -0.123456789e-3;
    p.p2 = 1e-9;
    p.imageWidth = 640;
    p.imageHeight = 480;
    p.band = "2";
    p.priorSource = "XMP Camera namespace";
    p.finalRmsPx = 0.3;
    p.adjustedTrackCount = p.selectedTrackCount = 700;
    p.accepted = true;
    s.lens.insert("2", p);
    s.hasCommonMatrices = true;
    s.commonReference = 1;
    s.commonMatrices.insert(0, {1.0000001, 1e-5, -3.25, -2e-5, 0.9999999, 7.125, 1e-8, -1e-8, 1.0});
    s.commonMatrices.insert(2, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9});
    s.commonBandNames = QStringList{"1", "2", "3"};
    s.commonAltitude = 60.17;
    s.commonCaptures = QStringList{"0000", "0001"};
    return s;
}

QString problemOf(const QByteArray& json) {
    FlightState s;
    QString problem;
    EXPECT_FALSE(flightStateFromJson(json, s, problem));
    return problem;
}

}  // namespace

// Every number comes back bit for bit, so a run from the state converts and warps exactly as the
// run that wrote it.
TEST(FlightStateTest, EveryValueComesBackExactly) {
    const FlightState s = awkwardState();
    FlightState back;
    QString problem;
    ASSERT_TRUE(flightStateFromJson(flightStateToJson(s), back, problem)) << problem.toStdString();
    EXPECT_EQ(back.rawDirectory, s.rawDirectory);
    EXPECT_EQ(back.serial, s.serial);
    EXPECT_EQ(back.bandLabels, s.bandLabels);
    ASSERT_EQ(back.calibration.size(), 3);
    for (int b = 0; b < 3; ++b) {
        EXPECT_TRUE(sameBits(back.calibration[b].a0, s.calibration[b].a0));
        EXPECT_TRUE(sameBits(back.calibration[b].centreX, s.calibration[b].centreX));
        EXPECT_TRUE(sameBits(back.calibration[b].k0, s.calibration[b].k0));
        EXPECT_TRUE(sameBits(back.calibration[b].k5, s.calibration[b].k5));
        EXPECT_EQ(back.calibration[b].darkLevel, s.calibration[b].darkLevel);
        EXPECT_TRUE(std::isnan(back.calibration[b].irradiance));
    }
    for (int b = 0; b < 3; ++b) EXPECT_TRUE(sameBits(back.panelValues[b], s.panelValues[b]));
    EXPECT_TRUE(back.standardReflectance == s.standardReflectance);
    ASSERT_TRUE(back.lens.contains("2"));
    EXPECT_EQ(back.lens["2"], s.lens["2"]);  // all 24 fields
    EXPECT_EQ(back.lensBandKeys, s.lensBandKeys);
    EXPECT_EQ(back.commonReference, 1);
    ASSERT_EQ(back.commonMatrices.keys(), s.commonMatrices.keys());
    for (int band : s.commonMatrices.keys())
        for (int i = 0; i < 9; ++i)
            EXPECT_TRUE(sameBits(back.commonMatrices[band][i], s.commonMatrices[band][i]));
    EXPECT_TRUE(sameBits(back.commonAltitude, s.commonAltitude));
    EXPECT_EQ(back.commonCaptures, s.commonCaptures);

    // And through a file.
    QTemporaryDir dir;
    const QString path = dir.filePath("state.json");
    ASSERT_TRUE(saveFlightState(path, s, problem)) << problem.toStdString();
    FlightState loaded;
    ASSERT_TRUE(loadFlightState(path, loaded, problem)) << problem.toStdString();
    EXPECT_EQ(flightStateToJson(loaded), flightStateToJson(s));
}

TEST(FlightStateTest, DamagedOrForeignFilesAreRefusedWithTheReason) {
    const QByteArray json = flightStateToJson(awkwardState());
    EXPECT_TRUE(problemOf(json.left(json.size() / 2)).startsWith("not a complete JSON text"));
    EXPECT_TRUE(problemOf(QByteArray()).startsWith("not a complete JSON text"));
    EXPECT_TRUE(problemOf("[1, 2]").startsWith("not a flight state"));
    EXPECT_TRUE(problemOf(QByteArray(json).replace("reflectivity-flight-state", "something-else"))
                    .startsWith("not a flight state"));
    // One digit of a matrix changed by hand.
    QByteArray edited = json;
    edited.replace("7.125", "7.126");
    ASSERT_NE(edited, json);
    EXPECT_TRUE(problemOf(edited).contains("checksum")) << problemOf(edited).toStdString();
    EXPECT_TRUE(
        problemOf(QByteArray(json).replace("\"version\": 1", "\"version\": 2")).contains("newer program"));
}

TEST(FlightStateTest, AStateFitsOnlyItsCameraBandsAndSize) {
    const FlightState s = awkwardState();
    const QStringList bands{"660nm", "450nm", "555nm"};  // order does not matter
    EXPECT_TRUE(flightStateMismatch(s, 6, "CW2401D0098", 640, 480, bands).isEmpty());
    EXPECT_TRUE(flightStateMismatch(s, 6, "CW2401D0099", 640, 480, bands).contains("another camera"));
    EXPECT_TRUE(flightStateMismatch(s, 4, "CW2401D0098", 640, 480, bands).contains("another camera"));
    EXPECT_TRUE(flightStateMismatch(s, 6, "CW2401D0098", 1280, 960, bands).contains("1280x960"));
    EXPECT_TRUE(
        flightStateMismatch(s, 6, "CW2401D0098", 640, 480, {"450nm", "555nm", "720nm"}).contains("bands"));
}

// Two flight folders of three captures each, one badly named image and a panel image: the shards
// cover every capture once, in scan order, and every image keeps its output folder.
TEST(CaptureShardTest, ShardsShareOutTheCapturesInScanOrder) {
    RawScanResult scan;
    scan.layout = DirectoryLayout::MultiLevel;
    scan.subfolders = QStringList{"/f/a", "/f/b"};
    for (const QString& name : {"IMG_0001_1.tif", "IMG_0001_2.tif", "IMG_0002_1.tif", "IMG_0002_2.tif",
                                "IMG_0003_1.tif", "IMG_0003_2.tif", "odd.tif"})
        scan.files << "/f/a/" + name;
    for (const QString& name : {"IMG_0001_1.tif", "IMG_0001_2.tif", "IMG_0005_1.tif", "IMG_0005_2.tif",
                                "IMG_0000_1_greyboard.tif", "IMG_0006_1.tif", "IMG_0006_2.tif"})
        scan.files << "/f/b/" + name;
    scan.cumulativeCounts = {7, 14};
    scan.totalCount = 14;

    const FlightCaptures flight = capturesOf(scan, "/f");
    ASSERT_EQ(flight.captures.size(), 6);
    EXPECT_EQ(flight.captures[3].id(), "b|0001");
    EXPECT_EQ(flight.loose, QVector<int>{6});

    CaptureShard shard;
    QString problem;
    ASSERT_TRUE(parseCaptureShard("1/3", shard, problem));
    EXPECT_EQ(shardCaptures(flight, shard), (QVector<int>{1, 4}));
    EXPECT_FALSE(parseCaptureShard("3/3", shard, problem));
    EXPECT_FALSE(parseCaptureShard("-1/3", shard, problem));
    EXPECT_FALSE(parseCaptureShard("1/0", shard, problem));
    EXPECT_FALSE(parseCaptureShard("a/b", shard, problem));

    const RawScanResult part = restrictScan(scan, flight, {1, 4}, false);
    EXPECT_EQ(part.files, (QStringList{"/f/a/IMG_0002_1.tif", "/f/a/IMG_0002_2.tif", "/f/b/IMG_0005_1.tif",
                                       "/f/b/IMG_0005_2.tif"}));
    EXPECT_EQ(part.cumulativeCounts, (QVector<int>{2, 4}));
    EXPECT_EQ(part.totalCount, 4);
    // Captures only in the second folder: the first folder's count stays 0, so they still go there.
    EXPECT_EQ(restrictScan(scan, flight, {5}, false).cumulativeCounts, (QVector<int>{0, 2}));

    EXPECT_EQ(captureIdOfFile("/out/b/IMG_0005_2_Correct.tif"), "b|0005");
    EXPECT_TRUE(captureIds(flight, {1, 4}).contains("b|0005"));
}
