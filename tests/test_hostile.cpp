// Hostile input from the device and in the settings file.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "logging/logsession.h"
#include "settings/settingsfile.h"
#include "support/accessibilityrecorder.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/ptydevice.h"
#include "support/ptywindowtest.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true; // shadow memory and a quarantine of freed blocks
#else
constexpr bool sanitized = false;
#endif

class HostileDeviceTest : public PtyWindowTest
{
protected:
    void SetUp() override
    {
        PtyWindowTest::SetUp();
        start();
    }
};

TEST_F(HostileDeviceTest, FiftyMegabytesWithoutALineEndKeepMemoryBoundedAndArriveWhole)
{
    // A device ending its lines with LF alone: nothing ever completes a line.
    const QByteArray chunk = QByteArray(1024 * 1024 - 1, 'a') + '\n';
    const QString hint = EventMessages::noLineEnd();
    // Each time a message is shown it is announced, however soon its timer
    // clears it again.
    AccessibilityRecorder shown;
    const long rssBefore = residentKb();
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(device.write(chunk));
    ASSERT_TRUE(waitUntil([&] { return device.queued() == 0; }, 20000));
    runEventLoop(50);
    EXPECT_EQ(shown.announcements().join(u'|').toStdString(), hint.toStdString());
    const long grownMb = (residentKb() - rssBefore) / 1024;
    EXPECT_LT(grownMb, sanitized ? 300 : 20) << "resident memory grew by " << grownMb << " MB";
    EXPECT_LT(residentKb() / 1024, sanitized ? 1000 : 100);

    // What arrived is in the file already, but for the last few bytes at most.
    EXPECT_GT(fileSize(logPath), 49 * chunk.size());
    ASSERT_TRUE(device.write(",\r\nnext\r\n"));
    const qint64 expectedSize = 50 * chunk.size() + 3 + 6;
    ASSERT_TRUE(waitUntil([&] { return fileSize(logPath) == expectedSize; }, 20000));
    QByteArray expected;
    for (int i = 0; i < 50; ++i)
        expected += chunk;
    EXPECT_TRUE(readFile(logPath) == expected + ";\r\nnext\r\n");
    EXPECT_EQ(window.Label1->text(), QStringLiteral("next"));

    // A line end starts the count again: the next stretch gets its own hint.
    ASSERT_TRUE(device.write(QByteArray(LogSession::noLineEndHintBytes, 'b')));
    EXPECT_TRUE(waitUntil([&] { return shown.announcements().size() == 2; }));
    EXPECT_EQ(shown.announcements().join(u'|').toStdString(), (hint + u'|' + hint).toStdString());
}

TEST_F(HostileDeviceTest, AMillionEmptyLines)
{
    QByteArray lines;
    for (int i = 0; i < 1'000'000; ++i)
        lines += "\r\n";
    ASSERT_TRUE(device.write(lines));
    EXPECT_TRUE(waitUntil([&] { return fileSize(logPath) == lines.size(); }, 20000));
    EXPECT_EQ(readFile(logPath), lines);
}

TEST_F(HostileDeviceTest, EveryByteInEveryPosition)
{
    // Each line holds all 256 byte values, rotated, so each value appears at
    // the start, inside and at the end of a line (CR LF pairs excepted).
    QByteArray sent;
    QByteArray expected;
    for (int shift = 0; shift < 256; ++shift) {
        QByteArray line;
        for (int i = 0; i < 256; ++i)
            line.append(char((i + shift) % 256));
        line.replace("\r\n", "\r-\n");
        sent += line + "\r\n";
        expected += QByteArray(line).replace(',', ';') + "\r\n";
    }
    ASSERT_TRUE(device.write(sent));
    EXPECT_TRUE(waitUntil([&] { return readFile(logPath) == expected; }));
}

TEST_F(HostileDeviceTest, MarkupIsShownAsPlainText)
{
    ASSERT_TRUE(device.write("<b>bold</b> &amp; <img src=x>\r\n"));
    ASSERT_TRUE(waitUntil([&] { return !window.Label1->text().isEmpty(); }));
    EXPECT_EQ(window.Label1->text(), QStringLiteral("<b>bold</b> &amp; <img src=x>"));
    EXPECT_EQ(window.Label1->textFormat(), Qt::PlainText);
}

TEST(HostileSettings, StrangeSettingsFilesNeverStopTheWindow)
{
    QByteArray binary(4096, '\0');
    for (char &c : binary)
        c = char(QRandomGenerator::global()->bounded(256));
    const QByteArray enormousLine(100'000'000, '7');
    QByteArray hundredMegabytes = "2\r\n|\r\n" + QByteArray(100'000'000, 'p') + "\r\n 1\r\n 1\r\n";

    struct Case
    {
        const char *name;
        QByteArray content;
        QString port;
        QString delimiter;
        qsizetype logFileLength;
    };
    const QList<Case> cases{
        {"binary", binary, {}, {}, -2}, // whatever it holds, the window opens
        {"one enormous line", enormousLine, "1", ";", -1},
        {"100 MB", hundredMegabytes, "2", "|", 100'000'000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(writeFile(dir.filePath("tarnel.ini"), c.content));
        {
            FrmTarnel window(dir.path());
            if (!c.port.isEmpty()) {
                EXPECT_EQ(window.txtPort->text(), c.port);
                EXPECT_EQ(window.txtDelim->text(), c.delimiter);
            }
            if (c.logFileLength >= 0) {
                EXPECT_EQ(window.txtFile->text().size(), c.logFileLength);
            } else if (c.logFileLength == -1) {
                EXPECT_EQ(window.txtFile->text(), dir.filePath("log.csv"));
            }
            window.close();
        }
        EXPECT_GT(fileSize(dir.filePath("tarnel.ini")), 0);
    }
}

TEST(HostileSettings, ASettingsPathThatIsADirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("tarnel.ini"));
    PtyDevice device;
    ASSERT_TRUE(device.open(dir.path(), 3));
    const QString logPath = dir.filePath("log.csv");
    {
        FrmTarnel window(dir.path());
        EXPECT_EQ(window.txtPort->text(), QStringLiteral("1"));
        EXPECT_EQ(window.txtFile->text(), logPath);
        window.txtPort->setText("3");
        window.cmdStart->click();
        ASSERT_TRUE(window.isLogging());
        window.close(); // the save fails; closing still ends logging
        EXPECT_FALSE(window.isLogging());
        EXPECT_FALSE(window.comm->isOpen());
    }
    EXPECT_TRUE(QFileInfo(dir.filePath("tarnel.ini")).isDir());
}

TEST(SettingsFile, AFailedSaveKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString path = SettingsFile::path(dir.path());
    const QByteArray old = "5\r\n|\r\n/old\r\n 1\r\n 1\r\n";
    ASSERT_TRUE(writeFile(path, old));

    // The name taken by a directory: nothing can be written.
    const QString blocked = dir.filePath("blocked.ini");
    ASSERT_TRUE(QDir(dir.path()).mkdir("blocked.ini"));
    EXPECT_FALSE(SettingsFile::save(blocked, {}));
    EXPECT_TRUE(QFileInfo(blocked).isDir());

    // A directory that takes no new files (not for root, who may write anywhere).
    if (::geteuid() != 0) {
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        EXPECT_FALSE(SettingsFile::save(path, {}));
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
    }
    // A write that fails half way, as on a full disk: the process may not
    // write files beyond 64 bytes, which holds for root too.
    {
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit tiny = saved;
        tiny.rlim_cur = 64;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
        WindowFields large;
        large.logFile = QString(4096, QLatin1Char('x'));
        const bool saved64 = SettingsFile::save(path, large);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(saved64);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"tarnel.ini"}); // no leftovers
}

} // namespace
