// Start, Stop and logging through the real window and a real pseudo-terminal.
#include "app/frmtarnel.h"
#include "capture/serialport.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"
#include "support/ptydevice.h"
#include "support/ptywindowtest.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using LoggingTest = PtyWindowTest;

TEST_F(LoggingTest, LinesReachTheFileAsTheDeviceSendsThem)
{
    start();
    EXPECT_FALSE(window.txtDelim->isEnabled());
    ASSERT_TRUE(device.write("a,b,c\r\nsecond,line"));
    EXPECT_TRUE(logEquals("a;b;c\r\n"));
    EXPECT_EQ(window.Label1->text(), QStringLiteral("a;b;c"));
    ASSERT_TRUE(device.write("\r\n\r\n"));
    EXPECT_TRUE(logEquals("a;b;c\r\nsecond;line\r\n\r\n"));
    EXPECT_EQ(window.Label1->text(), QString());

    window.cmdStart->click();
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
    EXPECT_TRUE(window.txtDelim->isEnabled());
    EXPECT_FALSE(window.comm->isOpen());
}

TEST_F(LoggingTest, EveryByteValueAndHugeLinesArriveUnchanged)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QByteArray huge(1'000'000, 'x');
    for (qsizetype i = 0; i < huge.size(); i += 1000)
        huge[i] = ',';
    window.txtDelim->setText(QStringLiteral("\t"));
    start();
    ASSERT_TRUE(device.write(all + "\r\n" + huge + "\r\n"));
    QByteArray expected = all;
    expected.replace(',', '\t');
    QByteArray hugeExpected = huge;
    hugeExpected.replace(',', '\t');
    EXPECT_TRUE(logEquals(expected + "\r\n" + hugeExpected + "\r\n", 20000));
}

TEST_F(LoggingTest, AppendOrOverwriteAndPartialLinesKeptAcrossStop)
{
    ASSERT_TRUE(writeFile(logPath, "old\r\n"));
    start();
    ASSERT_TRUE(device.write("one\r\npart"));
    EXPECT_TRUE(logEquals("old\r\none\r\n"));
    window.cmdStart->click(); // Stop: "part" waits in the receive buffer

    window.chkOver->setChecked(true);
    start();
    ASSERT_TRUE(device.write("ial\r\n"));
    EXPECT_TRUE(logEquals("partial\r\n"));
    window.cmdStart->click();

    // A second Start writes to the file named at that moment.
    const QString other = dir.filePath(QStringLiteral("other.csv"));
    window.txtFile->setText(other);
    window.chkOver->setChecked(false);
    start();
    ASSERT_TRUE(device.write("x\r\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(other) == "x\r\n"; }));
    EXPECT_EQ(readFile(logPath), QByteArray("partial\r\n"));
}

TEST_F(LoggingTest, OverwriteTakesWildcardNamesLiterally)
{
    const QString starred = dir.filePath(QStringLiteral("*.csv"));
    ASSERT_TRUE(writeFile(starred, "old\r\n"));
    ASSERT_TRUE(writeFile(logPath, "keep\r\n"));
    window.txtFile->setText(starred);
    window.chkOver->setChecked(true);
    start();
    ASSERT_TRUE(device.write("new\r\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(starred) == "new\r\n"; }));
    EXPECT_EQ(readFile(logPath), QByteArray("keep\r\n"));
}

TEST_F(LoggingTest, FailedStartsNameTheTextAsTypedAndLeaveTheProgramIdle)
{
    struct Case
    {
        QString port;
        QString file;
        QString message;
    };
    const QList<Case> cases{
        {QStringLiteral("7x"), logPath, QStringLiteral("COM port 7x does not exist or busy")},
        {QStringLiteral("0"), logPath, QStringLiteral("COM port 0 does not exist or busy")},
        {QStringLiteral("99999"), logPath, QStringLiteral("COM port 99999 does not exist or busy")},
        {QStringLiteral(" 5 "), QString(), QStringLiteral("Can't open or create file: ")},
        {QStringLiteral("5"), dir.path(),
         QStringLiteral("Can't open or create file: ") + dir.path()},
    };
    // A dangling link stands for an unplugged adapter, and keeps port 7 off
    // the machine's real /dev/ttyS6.
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("com7"))));
    for (const Case &c : cases) {
        MessageBoxWatcher boxes;
        window.txtPort->setText(c.port);
        window.txtFile->setText(c.file);
        window.cmdStart->click();
        ASSERT_EQ(boxes.boxes().size(), 1) << c.message.toStdString();
        const auto &box = boxes.boxes().front();
        EXPECT_EQ(box.text, c.message);
        EXPECT_EQ(box.title, QStringLiteral("Tarnel"));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
        EXPECT_FALSE(window.comm->isOpen()) << c.message.toStdString();
    }
    // After all that, the port is free again.
    window.txtFile->setText(logPath);
    start();
}

TEST_F(LoggingTest, ABusyPortCannotBeOpenedTwice)
{
    start();
    FrmTarnel second(dir.path());
    second.txtPort->setText(QStringLiteral("5"));
    second.txtFile->setText(dir.filePath(QStringLiteral("second.csv")));
    MessageBoxWatcher boxes;
    second.cmdStart->click();
    EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("COM port 5 does not exist or busy")});
    EXPECT_EQ(second.cmdStart->text(), QStringLiteral("Start"));
}

TEST_F(LoggingTest, AFullDiskStopsLoggingWithAMessage)
{
    window.txtFile->setText(QStringLiteral("/dev/full"));
    start();
    MessageBoxWatcher boxes;
    ASSERT_TRUE(device.write("a,b\r\n"));
    ASSERT_TRUE(waitUntil([&] { return !boxes.boxes().isEmpty(); }));
    EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("Can't write to file: /dev/full")});
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
    EXPECT_TRUE(window.txtDelim->isEnabled());
    EXPECT_FALSE(window.comm->isOpen());
    EXPECT_FALSE(window.isLogging());
}

} // namespace
