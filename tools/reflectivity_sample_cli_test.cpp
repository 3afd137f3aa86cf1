// The reflectivity-sample command end to end, checked with the command-line clients of the libraries
// the program reads its input with (each check is skipped when its client is not installed).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <opencv2/imgcodecs.hpp>

namespace {

struct ProcessResult {
    int exitCode = -1;
    QString out, err;
};

ProcessResult run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    ProcessResult r;
    if (!p.waitForFinished(120000)) return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

bool have(const char* client) { return !QStandardPaths::findExecutable(client).isEmpty(); }

}  // namespace

TEST(ReflectivitySampleCli, BadArgumentsExitWithTwoAndWriteNothing) {
    QTemporaryDir dir;
    EXPECT_EQ(run(REFLECTIVITY_SAMPLE_EXE, {}).exitCode, 2);
    EXPECT_EQ(run(REFLECTIVITY_SAMPLE_EXE, {dir.filePath("a"), "--type", "7"}).exitCode, 2);
    EXPECT_EQ(run(REFLECTIVITY_SAMPLE_EXE, {dir.filePath("a"), "--size", "12by3"}).exitCode, 2);
    EXPECT_EQ(run(REFLECTIVITY_SAMPLE_EXE, {dir.filePath("a"), "--layout", "V_Three"}).exitCode, 2);
    EXPECT_FALSE(QDir(dir.filePath("a")).exists());
}

TEST(ReflectivitySampleCli, ClientsReadEveryFileOfAKeyedFlight) {
    QTemporaryDir dir;
    const QString out = dir.filePath("flight set");  // a blank in the path on purpose
    const ProcessResult gen = run(
        REFLECTIVITY_SAMPLE_EXE,
        {out, "--type", "6", "--size", "640x480", "--captures", "2", "--jpg-captures", "1", "--seed", "7"});
    ASSERT_EQ(gen.exitCode, 0) << qPrintable(gen.err);
    QFile truthFile(out + "/truth.json");
    ASSERT_TRUE(truthFile.open(QIODevice::ReadOnly));
    const QJsonObject truth = QJsonDocument::fromJson(truthFile.readAll()).object();
    EXPECT_EQ(truth["seed"].toInt(), 7);

    QStringList tifs, jpgs, panels;
    for (const QJsonValue& c : truth["captures"].toArray()) {
        const QJsonObject o = c.toObject();
        for (const QJsonValue& f : o["files"].toArray()) {
            tifs << out + "/" + f.toString();
            if (o["kind"].toString() != "flight") panels << out + "/" + f.toString();
        }
        for (const QJsonValue& f : o["jpgFiles"].toArray()) jpgs << out + "/" + f.toString();
    }
    ASSERT_EQ(tifs.size(), 24);
    ASSERT_EQ(jpgs.size(), 6);

    for (const QString& f : tifs) {
        if (have("tiffinfo")) {
            const ProcessResult r = run("tiffinfo", {f});
            EXPECT_EQ(r.exitCode, 0) << qPrintable(f);
            EXPECT_FALSE(r.err.contains("Error", Qt::CaseInsensitive)) << qPrintable(r.err);
            EXPECT_TRUE(r.out.contains("Image Width: 640 Image Length: 480"));
        }
        if (have("exiv2")) {
            const ProcessResult r = run("exiv2", {"-pa", f});
            EXPECT_EQ(r.exitCode, 0) << qPrintable(f);
            for (const char* key :
                 {"Xmp.Camera.Serial", "Xmp.Camera.RelativeAltitude", "Xmp.DLS.Pitch", "Xmp.DLS.Roll",
                  "Xmp.DLS.Yaw", "Xmp.Camera.VignettingPolynomial_NM", "Exif.GPSInfo.GPSLatitude",
                  "Exif.GPSInfo.GPSAltitude", "Exif.Image.BlackLevel", "Exif.Photo.FocalLength"})
                EXPECT_TRUE(r.out.contains(key)) << key << " in " << qPrintable(f);
        }
    }
    for (const QString& f : tifs + jpgs) {
        if (!have("gdalinfo")) break;
        const ProcessResult r = run("gdalinfo", {f});
        EXPECT_EQ(r.exitCode, 0) << qPrintable(f);
        EXPECT_TRUE(r.out.contains("Size is 640, 480")) << qPrintable(f);
    }
    if (have("exiftool")) {
        const ProcessResult r = run("exiftool", {"-validate", "-warning", "-a", tifs.first(), jpgs.first()});
        EXPECT_EQ(r.out.count("Validate                        : OK"), 2) << qPrintable(r.out);
    }
    if (have("zbarimg")) {
        // An 8-bit copy of each panel band, the way the panel recogniser reads it.
        for (const QString& f : panels) {
            const cv::Mat eight = cv::imread(QFile::encodeName(f).toStdString(), cv::IMREAD_COLOR);
            ASSERT_FALSE(eight.empty());
            const QString png = dir.filePath("copy.png");
            ASSERT_TRUE(cv::imwrite(QFile::encodeName(png).toStdString(), eight));
            const ProcessResult r = run("zbarimg", {"-q", png});
            EXPECT_TRUE(r.out.startsWith("QR-Code:CA")) << qPrintable(f) << qPrintable(r.out);
        }
    }
}
