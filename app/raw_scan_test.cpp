#include "raw_scan.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "operator_dialogs.h"

namespace {

const QStringList kSixBands = {"1_450nm", "2_555nm", "3_660nm", "4_720nm", "5_750nm", "6_840nm"};

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

// Writes one capture: IMG_<key>_<band>.<suffix> for each band.
void writeCapture(const QString& folder, const QString& key, const QStringList& bands,
                  const QString& suffix = "tif") {
    for (const QString& band : bands) touch(folder + "/IMG_" + key + "_" + band + "." + suffix);
}

QMap<QString, QStringList> groupsOfSizes(const QList<int>& sizes) {
    QMap<QString, QStringList> groups;
    int key = 0;
    for (int size : sizes) {
        QStringList bands;
        for (int b = 0; b < size; ++b) bands << QString::number(b + 1);
        groups[QString::number(key++)] = bands;
    }
    return groups;
}

TEST(BandFileNames, LabelsComeFromFixedPositions) {
    EXPECT_EQ(bandLabelFromFileName("IMG_0000_1_450nm.tif"), "450nm");
    EXPECT_EQ(bandLabelFromFileName("IMG_0003_2_555nm.tif"), "555nm");
    // Panel images carry their label eleven characters further on.
    EXPECT_EQ(bandLabelFromFileName("IMG_0000_01_greyboard_450nm.tif"), "450nm");
    // Too short for the fixed positions: an empty label, never a crash.
    EXPECT_EQ(bandLabelFromFileName("a_b_c.tif"), "");
    EXPECT_EQ(bandLabelFromFileName(""), "");
    EXPECT_EQ(bandLabelFromFileName("IMG_0000_1"), "");
}

TEST(BandFileNames, PanelImagesAreRecognisedInAnyCase) {
    EXPECT_TRUE(isPanelImageName("IMG_0000_1_greyboard.tif"));
    EXPECT_TRUE(isPanelImageName("GreyBoard_IMG_0000_1.tif"));
    EXPECT_FALSE(isPanelImageName("IMG_0000_1_450nm.tif"));
}

TEST(BandCount, MostFrequentGroupSizeWinsAndTiesGoToTheLarger) {
    EXPECT_EQ(majorityGroupSize(groupsOfSizes({5, 6, 6})), 6);
    EXPECT_EQ(majorityGroupSize(groupsOfSizes({5, 5, 6, 6})), 6);
    EXPECT_EQ(majorityGroupSize(groupsOfSizes({6, 5, 5})), 5);
    EXPECT_EQ(majorityGroupSize(groupsOfSizes({3, 6, 5, 5, 6, 6})), 6);
    EXPECT_EQ(majorityGroupSize({}), 0);
}

class RawScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString root() const { return m_dir.path(); }
    QTemporaryDir m_dir;
    RecordingDialogs m_dialogs;
};

TEST_F(RawScanTest, SingleLevelTifRunGroupsCapturesAndSkipsPanelsJpgAndBadNames) {
    for (const char* key : {"0000", "0001", "0002"}) writeCapture(root(), key, kSixBands);
    writeCapture(root(), "0003", kSixBands.mid(0, 5));
    touch(root() + "/IMG_0009_01_greyboard_450nm.tif");
    touch(root() + "/badname.tif");
    touch(root() + "/IMG_0004_1_450nm.jpg");
    touch(root() + "/notes.txt");

    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.layout, DirectoryLayout::SingleLevel);
    EXPECT_EQ(scan.kind, ImageKind::Tif);
    EXPECT_EQ(scan.totalCount, 3 * 6 + 5 + 2);  // JPG and text files are not counted
    EXPECT_FALSE(scan.files.contains("IMG_0004_1_450nm.jpg"));
    EXPECT_EQ(scan.groups.size(), 4);
    EXPECT_EQ(scan.groups.value("0000"), QStringList({"1", "2", "3", "4", "5", "6"}));
    EXPECT_FALSE(scan.groups.contains("0009"));
    EXPECT_EQ(scan.bandCount, 6);
    EXPECT_EQ(scan.firstGroupKey, "0000");
    ASSERT_EQ(scan.firstGroupFiles.size(), 6);
    EXPECT_EQ(scan.firstGroupFiles.first(), root() + "/IMG_0000_1_450nm.tif");
    EXPECT_EQ(scan.firstGroupLabels, QStringList({"450nm", "555nm", "660nm", "720nm", "750nm", "840nm"}));
    EXPECT_TRUE(m_dialogs.messages.isEmpty());
}

TEST_F(RawScanTest, FirstListedJpgMakesAJpgRunThatKeepsEverything) {
    touch(root() + "/DJI_0001_1.jpg");
    touch(root() + "/DJI_0002_1.jpg");
    writeCapture(root(), "0000", kSixBands);
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.kind, ImageKind::Jpg);
    EXPECT_EQ(scan.totalCount, 8);
    EXPECT_EQ(scan.files.size(), 8);
}

TEST_F(RawScanTest, MultiLevelCountsAccumulatePerSubfolder) {
    writeCapture(root() + "/flight_a", "0000", kSixBands);
    writeCapture(root() + "/flight_b", "0001", kSixBands);
    writeCapture(root() + "/flight_b", "0002", kSixBands);
    touch(root() + "/flight_b/IMG_0002_7_900nm.jpg");

    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.layout, DirectoryLayout::MultiLevel);
    EXPECT_EQ(scan.kind, ImageKind::Tif);
    EXPECT_EQ(scan.subfolderCount, 2);
    EXPECT_EQ(scan.cumulativeCounts, QVector<int>({6, 18}));
    EXPECT_EQ(scan.totalCount, 18);
    ASSERT_EQ(scan.files.size(), 18);
    EXPECT_TRUE(scan.files.first().startsWith(root() + "/flight_a/"));
    EXPECT_TRUE(scan.files.last().startsWith(root() + "/flight_b/"));
    EXPECT_EQ(scan.groups.size(), 3);
    EXPECT_EQ(scan.firstGroupFiles.first(), root() + "/flight_a/IMG_0000_1_450nm.tif");
}

TEST_F(RawScanTest, MultiLevelImagesBelowASubfolderCountWithIt) {
    writeCapture(root() + "/a", "0000", kSixBands);
    writeCapture(root() + "/a/deeper", "0001", kSixBands);
    writeCapture(root() + "/b", "0002", kSixBands);
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.cumulativeCounts, QVector<int>({12, 18}));
    ASSERT_EQ(scan.files.size(), 18);
    // The running totals must line up with the order of the list.
    EXPECT_TRUE(scan.files.at(11).contains("/a/deeper/"));
    EXPECT_TRUE(scan.files.at(12).contains("/b/"));
}

TEST_F(RawScanTest, LinksBackUpTheTreeAreNotFollowed) {
    writeCapture(root() + "/a", "0000", kSixBands);
    writeCapture(root() + "/b", "0001", kSixBands);
    ASSERT_TRUE(QFile::link("..", root() + "/a/up"));       // a/up -> root
    ASSERT_TRUE(QFile::link(root(), root() + "/b/again"));  // absolute link to the root
    ASSERT_TRUE(QFile::link(root() + "/a", root() + "/self"));  // a second way into a, not a loop
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.layout, DirectoryLayout::MultiLevel);
    // a, b and the link "self" (a folder of its own to the run); each image listed once per way in.
    EXPECT_EQ(scan.subfolderCount, 3);
    EXPECT_EQ(scan.cumulativeCounts, QVector<int>({6, 12, 18}));
    ASSERT_EQ(scan.files.size(), 18);
    EXPECT_TRUE(scan.files.at(17).startsWith(root() + "/self/"));
    // A link straight back to the scanned folder is no subfolder of it.
    ASSERT_TRUE(QFile::link(root(), root() + "/loop"));
    EXPECT_EQ(scanRawDirectory(root(), m_dialogs).subfolderCount, 3);
}

TEST_F(RawScanTest, FolderHoldingJpgInItsNameStillKeepsItsTifs) {
    writeCapture(root() + "/jpg_and_tif", "0000", kSixBands);
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.files.size(), 6);
    EXPECT_EQ(scan.bandCount, 6);
}

TEST_F(RawScanTest, ChineseFolderNameWithSpaces) {
    const QString folder = root() + QStringLiteral("/航线 一/多光谱");
    writeCapture(folder, "0000", kSixBands);
    writeCapture(folder, "0001", kSixBands);
    const RawScanResult scan = scanRawDirectory(folder, m_dialogs);
    EXPECT_EQ(scan.totalCount, 12);
    EXPECT_EQ(scan.bandCount, 6);
    EXPECT_EQ(scan.firstGroupFiles.first(), folder + "/IMG_0000_1_450nm.tif");
    EXPECT_TRUE(QFile::exists(scan.firstGroupFiles.first()));
}

TEST_F(RawScanTest, OnlyPanelImagesGiveNoGroupAndAWarning) {
    touch(root() + "/IMG_0000_01_greyboard_450nm.tif");
    touch(root() + "/IMG_0000_02_GREYBOARD_555nm.tif");
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_TRUE(scan.groups.isEmpty());
    EXPECT_EQ(scan.bandCount, 0);
    ASSERT_EQ(m_dialogs.messages.size(), 1);
    EXPECT_EQ(m_dialogs.messages[0].kind, OperatorDialogs::Kind::Warning);
    EXPECT_EQ(m_dialogs.messages[0].title, "提醒");
    EXPECT_EQ(m_dialogs.messages[0].text, "未找到任何分组信息，请确认原始影像目录已正确选择！");
    EXPECT_TRUE(m_dialogs.messages[0].parented);
}

TEST_F(RawScanTest, FewerThanFiveImagesGiveANoticeButStayUsable) {
    writeCapture(root(), "0000", kSixBands.mid(0, 3));
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.bandCount, 3);
    noticeIfTooFewImages(scan, m_dialogs);
    ASSERT_EQ(m_dialogs.messages.size(), 1);
    EXPECT_EQ(m_dialogs.messages[0].kind, OperatorDialogs::Kind::Information);
    EXPECT_EQ(m_dialogs.messages[0].title, "提示");
    EXPECT_EQ(m_dialogs.messages[0].text, "请确保原始的影像目录至少5组图像！");
    EXPECT_FALSE(m_dialogs.messages[0].parented);

    m_dialogs.messages.clear();
    writeCapture(root(), "0001", kSixBands.mid(0, 3));
    noticeIfTooFewImages(scanRawDirectory(root(), m_dialogs), m_dialogs);
    EXPECT_TRUE(m_dialogs.messages.isEmpty());
}

TEST_F(RawScanTest, EmptyDirectoryIsMultiLevelWithoutGroups) {
    const RawScanResult scan = scanRawDirectory(root(), m_dialogs);
    EXPECT_EQ(scan.layout, DirectoryLayout::MultiLevel);
    EXPECT_TRUE(scan.files.isEmpty());
    EXPECT_EQ(m_dialogs.messages.size(), 1);
}

}  // namespace
