// Bad inputs end to end, the folders: result folders that cannot be written, fill up or lie inside
// the raw folder, and raw folders with link loops, many other files or unusual names.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "bad_input_fixture.h"

using namespace badinput;

namespace {

// ---- Result folders --------------------------------------------------------------------------

TEST_F(BadInput, UnwritableResultFolder) {
    makeRaw(m_raw);
    const auto before = checksums(m_raw);
    // Root may write anywhere, but not below a regular file.
    ASSERT_TRUE(writeAll(path("plain-file"), "x"));
    BatchResult r = radiance(m_raw, path("plain-file/results"));
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("创建文件夹: 文件夹创建没有成功,请指定合理存放路径！"))
        << tail(r.err).toStdString();
    EXPECT_EQ(checksums(m_raw), before);

    // Nor on a read-only file system.
    const QString mount = path("read-only");
    if (!mountTmpfs(mount, 1024, true)) GTEST_SKIP() << "cannot mount a read-only tmpfs here";
    r = radiance(m_raw, mount + "/results");
    unmount(mount);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("创建文件夹: 文件夹创建没有成功,请指定合理存放路径！"))
        << tail(r.err).toStdString();
    EXPECT_EQ(checksums(m_raw), before);
}

TEST_F(BadInput, ResultFolderOnANearlyFullFileSystem) {
    makeRaw(m_raw);
    const auto before = checksums(m_raw);
    const QString mount = path("small");
    // Room for about two of the 0.6 MB converted images.
    if (!mountTmpfs(mount, 1500, false)) GTEST_SKIP() << "cannot mount a tmpfs here";
    const BatchResult r = radiance(m_raw, mount + "/results");
    const QStringList problems = outputProblems(mount);
    QStringList complete;
    for (const QString& name : flightNames())
        if (QFileInfo::exists(mount + "/results/raw/" + name) &&
            QFileInfo::exists(mount + "/results/raw/" + correctName(name)))
            complete << name;
    unmount(mount);
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
    const QString line = r.err.section("reflectivity-batch: ", 1, 1).section('\n', 0, 0);
    EXPECT_TRUE(line.contains(QString("%1 of 12 images not converted").arg(12 - complete.size())))
        << tail(r.err).toStdString();
    // Every image is either complete or named as not converted.
    for (const QString& name : flightNames())
        EXPECT_TRUE(complete.contains(name) != line.contains(name)) << name.toStdString();
    EXPECT_TRUE(r.log.contains("writeConvertedCopy: writing failed, nothing left under"));
}

TEST_F(BadInput, ResultFolderInsideTheRawFolder) {
    // Images directly in the raw folder: the result folder beside them is never scanned.
    makeRaw(m_raw);
    const QString out = m_raw + "/结果";
    const auto before = checksums(m_raw);
    for (int run = 0; run < 2; ++run) {
        const BatchResult r = radiance(m_raw, out);
        ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
        EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
        EXPECT_TRUE(r.out.contains("Converted images: 12"))
            << tail(r.out).toStdString();
        expectConverted(out + "/raw");
        EXPECT_EQ(checksums(m_raw, out), before);
    }

    // Flight subfolders: a second run would find the first run's results among the raw images.
    const QString root = path("root");
    makeRaw(root + "/flight");
    const QString nested = root + "/results";
    const auto rootBefore = checksums(root);
    BatchResult r = radiance(root, nested);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    expectConverted(nested + "/flight");
    const auto resultsBefore = checksums(nested);
    r = radiance(root, nested);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("提醒: 结果存储目录不能与原始影像目录相同！")) << tail(r.err).toStdString();
    EXPECT_EQ(checksums(nested), resultsBefore) << "the earlier results were touched";
    EXPECT_EQ(checksums(root, nested), rootBefore);
    EXPECT_TRUE(r.log.contains("createOutputFolders: an output folder holds raw images of this run, refused:"));

    // A result folder above the raw folder is fine: the output folders lie beside the raw ones.
    const QString above = path("above");
    makeRaw(above + "/flights/A");
    r = radiance(above + "/flights", above);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    expectConverted(above + "/A");
}

// ---- Raw folders -----------------------------------------------------------------------------

TEST_F(BadInput, RawFolderWithASymlinkLoop) {
    const QString root = path("root");
    makeRaw(root + "/flight");
    ASSERT_TRUE(QFile::link("..", root + "/flight/loop"));
    ASSERT_TRUE(QFile::link(root, root + "/again"));
    const auto before = checksums(root);
    const BatchResult r = radiance(root, m_out);
    EXPECT_EQ(checksums(root), before);
    ASSERT_TRUE(r.normalExit()) << "crashed or hung: " << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    EXPECT_TRUE(r.out.contains("Converted images: 12")) << tail(r.out).toStdString();
    EXPECT_TRUE(r.log.contains("raw scan: folder skipped, a link leads back into a folder above it:"));
    expectConverted(m_out + "/flight");
    EXPECT_FALSE(QFileInfo::exists(m_out + "/again"));
}

TEST_F(BadInput, RawFolderWithTenThousandNonImageFiles) {
    makeRaw(m_raw);
    for (int i = 0; i < 10000; ++i) {
        QFile f(m_raw + QString("/note_%1.txt").arg(i, 5, 10, QChar('0')));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not an image\n");
    }
    const auto before = checksums(m_raw);
    const BatchResult r = radiance(m_raw, m_out);
    EXPECT_EQ(checksums(m_raw), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    EXPECT_TRUE(r.out.contains("Converted images: 12")) << tail(r.out).toStdString();
    EXPECT_LT(r.seconds, 60.0);
    expectConverted(m_out + "/raw");
}

TEST_F(BadInput, PathsWithSpacesAndChineseCharacters) {
    const QString raw = path("飞行 数据/原始 影像 1"), panels = path("飞行 数据/标定 板"),
                  out = path("结果 目录/输出 A");
    makeRaw(raw);
    ASSERT_TRUE(copyTree(m_flight + "/panel", panels));
    const auto before = checksums(path("飞行 数据"));
    // A reflectance run: panel recognition, exiv2, OpenCV and the writers all see these paths.
    // (Registration is left out to keep the suite fast; its own tests cover Chinese folders.)
    const BatchResult r =
        runBatch(QStringList{"--raw", raw, "--out", out, "--registration", "none", "--no-self-calibration"} +
                     panelArgs(panels),
                 path("日志 目录"));
    EXPECT_EQ(checksums(path("飞行 数据")), before);
    ASSERT_TRUE(r.normalExit()) << tail(r.err).toStdString();
    EXPECT_EQ(r.code, 0) << tail(r.err).toStdString();
    EXPECT_FALSE(r.log.isEmpty()) << "no log under the Chinese log folder";
    EXPECT_TRUE(r.log.contains("成功识别1组灰板"));
    EXPECT_TRUE(r.out.contains("Converted images: 12")) << tail(r.out).toStdString();
    expectConverted(out + "/原始 影像 1");
}

}  // namespace
