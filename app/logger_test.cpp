#include "logger.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

namespace {

const QString kStamp = QStringLiteral(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\])");

// Runs each case in an empty working directory of its own.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    void TearDown() override {
        qInstallMessageHandler(nullptr);
        QDir::setCurrent(m_previous);
    }

    static QStringList readLines(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_dir;
    QString m_previous;
};

TEST_F(LoggerTest, DefaultFileLiesInMonthFolderAndHoldsEveryLevelInItsFormat) {
    QString path;
    {
        Logger logger{QString()};
        logger.install(QString());
        path = logger.path();
        const QString month = QDateTime::currentDateTime().toString("yyyy-MM");
        EXPECT_TRUE(QRegularExpression("^\\./log/" + month + R"(/log_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.txt$)")
                        .match(path)
                        .hasMatch())
            << path.toStdString();
        qDebug() << "hello" << 42;
        QMessageLogger("scan.cpp", 17, "void scan()").warning("careful");
        QMessageLogger("scan.cpp", 18, "void scan()").critical("broken");
        QMessageLogger("scan.cpp", 19, "void scan()").info("note");
        // A toolkit message without context.
        logMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("bare"));
    }
    const QStringList lines = readLines(path);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(QRegularExpression("^" + kStamp + R"(\[D\]: hello 42 \t$)").match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(QRegularExpression("^" + kStamp + R"(\[W\]: careful \t\(scan\.cpp:17, void scan\(\)\)$)")
                    .match(lines[1]).hasMatch()) << lines[1].toStdString();
    EXPECT_TRUE(QRegularExpression("^" + kStamp + R"(\[E\]: broken \t\(scan\.cpp:18, void scan\(\)\)$)")
                    .match(lines[2]).hasMatch()) << lines[2].toStdString();
    EXPECT_TRUE(QRegularExpression("^" + kStamp + R"(\[I\]: note \t\(scan\.cpp:19, void scan\(\)\)$)")
                    .match(lines[3]).hasMatch()) << lines[3].toStdString();
    EXPECT_TRUE(QRegularExpression("^" + kStamp + R"(\[W\]: bare \t\(:0, \)$)").match(lines[4]).hasMatch())
        << lines[4].toStdString();
}

TEST_F(LoggerTest, LinesFromTwoThreadsStayWhole) {
    QString path;
    const int perThread = 2000;
    {
        Logger logger{QString()};
        logger.install(QString());
        path = logger.path();
        auto writer = [perThread](const char* who) {
            return QThread::create([perThread, who] {
                for (int i = 0; i < perThread; ++i) qDebug() << who << i << "a line long enough to be cut in two";
            });
        };
        QThread* a = writer("alpha");
        QThread* b = writer("beta");
        a->start();
        b->start();
        a->wait();
        b->wait();
        delete a;
        delete b;
    }
    const QStringList lines = readLines(path);
    ASSERT_EQ(lines.size(), 2 * perThread);
    const QRegularExpression whole("^" + kStamp + R"(\[D\]: (alpha|beta) \d+ a line long enough to be cut in two \t$)");
    int alpha = 0;
    for (const QString& line : lines) {
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.toStdString();
        alpha += line.contains("alpha");
    }
    EXPECT_EQ(alpha, perThread);
}

TEST_F(LoggerTest, FallsBackToWorkingDirectoryWhenLogFolderCannotBeMade) {
    // A plain file named "log" stands in the way of the log folder.
    QFile blocker("log");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    testing::internal::CaptureStderr();
    QString path;
    {
        Logger logger{QString()};
        logger.install(QString());
        path = logger.path();
        qDebug() << "still logged";
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to create log directory, using default path ./\n"), std::string::npos) << err;
    EXPECT_TRUE(path.startsWith("./log_")) << path.toStdString();
    const QStringList lines = readLines(path);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("still logged"));
}

TEST_F(LoggerTest, ExplicitPathAppendsAndUnopenablePathInstallsNothing) {
    {
        QFile file("given.txt");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier line\n");
    }
    {
        Logger logger{QString()};
        logger.install(QStringLiteral("given.txt"));
        qDebug() << "appended";
    }
    const QStringList lines = readLines("given.txt");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_TRUE(lines[1].contains("[D]: appended"));

    qInstallMessageHandler(nullptr);
    testing::internal::CaptureStderr();
    {
        Logger logger{QString()};
        logger.install(QStringLiteral("no/such/folder/file.txt"));
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "cann't open log file: no/such/folder/file.txt\n");
}

TEST_F(LoggerTest, MessagesAfterTheLoggerIsGoneAreDroppedWithANotice) {
    {
        Logger logger{QString()};
        logger.install(QString());
    }
    testing::internal::CaptureStderr();
    logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("lost"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "log file is NULL");
}

TEST_F(LoggerTest, SecondStartInTheSameSecondTruncatesTheFile) {
    QString first;
    QString second;
    for (int attempt = 0; attempt < 5; ++attempt) {
        {
            Logger logger{QString()};
            logger.install(QString());
            first = logger.path();
            qDebug() << "first start";
        }
        {
            Logger logger{QString()};
            logger.install(QString());
            second = logger.path();
            qDebug() << "second start";
        }
        if (first == second) break;  // the clock may tick between the two starts
    }
    ASSERT_EQ(first, second);
    const QStringList lines = readLines(second);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("second start"));
}

}  // namespace
