// The real window and the Win32 port layer, under Wine: Tarnel reads COM 5,
// the test writes into COM 6, the other end of a null-modem pair that
// tools/win-test.sh makes from pseudo-terminals. Line states come from the
// preloaded line-state library, through Wine's own serial code.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "support/devicedata.h"
#include "support/eventloop.h"
#include "support/fakeserialstate.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"
#include "windows/deviceport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <ctime>
#include <windows.h>

namespace {

constexpr int tarnelPort = 5;
constexpr int devicePort = 6;

class ComPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(device.open(devicePort)) << "COM6 is not mapped: run tools/win-test.sh";
        // What an earlier test sent and nobody read would come first.
        ASSERT_TRUE(DevicePort::discardUnread(tarnelPort));
        window.txtPort->setText(QString::number(tarnelPort));
        window.txtFile->setText(logPath);
    }

    void start()
    {
        MessageBoxWatcher boxes;
        window.cmdStart->click();
        ASSERT_EQ(boxes.texts(), QStringList());
        ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    }
    bool logEquals(const QByteArray &expected, int timeoutMs = 10000)
    {
        return waitUntil([&] { return readFile(logPath) == expected; }, timeoutMs);
    }
    bool statusShows(const QString &text, int timeoutMs = 10000)
    {
        return waitUntil([&] { return window.Label1->text() == text; }, timeoutMs);
    }

    QTemporaryDir dir;
    DevicePort device;
    FrmTarnel window{dir.path()};
    QString logPath = dir.filePath(QStringLiteral("log.csv"));
};

// The date and time as the system's own functions write them, not the program's.
// The user's date or time as Windows formats it when the code page holds
// it, else the digits alone.
QByteArray inCodePageOr(const wchar_t *text, const QString &digits)
{
    const QString trimmed = QString::fromWCharArray(text).trimmed();
    const auto *wide = reinterpret_cast<const wchar_t *>(trimmed.utf16());
    char bytes[256];
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, int(trimmed.size()),
                                      bytes, int(sizeof bytes), nullptr, &lossy);
    return lossy ? digits.toLatin1() : QByteArray(bytes, n);
}

QByteArray systemMark(std::time_t when, const QByteArray &delimiter)
{
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (ULONGLONG(when) + 11644473600ULL) * 10000000ULL;
    const FILETIME utc{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utcTime{}, local{};
    FileTimeToSystemTime(&utc, &utcTime);
    SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local);
    wchar_t date[128], time[128];
    GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 128, nullptr);
    GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &local, nullptr, time, 128);
    const QString isoDate =
        QString::asprintf("%04u-%02u-%02u", local.wYear, local.wMonth, local.wDay);
    const QString isoTime =
        QString::asprintf("%02u:%02u:%02u", local.wHour, local.wMinute, local.wSecond);
    return inCodePageOr(date, isoDate) + delimiter + inCodePageOr(time, isoTime) + delimiter;
}

TEST_F(ComPortTest, LogsAreByteExact)
{
    const QByteArray all = everyByteValue();
    const QByteArray huge = longLineWithCommas(1'000'000);
    struct Case
    {
        const char *name;
        QList<QByteArray> writes;
    };
    const QList<Case> cases{
        {"every byte value", {all + "\r\n"}},
        {"a line split across writes", {"a,", "b", ",c\r", "\nd\r\n"}},
        {"a 1 MB line", {huge + "\r\n"}},
    };
    start();
    QByteArray expected;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QByteArray &bytes : c.writes) {
            ASSERT_TRUE(device.write(bytes));
            expected += QByteArray(bytes).replace(',', ';');
        }
        EXPECT_TRUE(logEquals(expected, 30000))
            << readFile(logPath).size() << " of " << expected.size() << " bytes";
    }
}

TEST_F(ComPortTest, AppendOverwriteAndAMissingPort)
{
    ASSERT_TRUE(writeFile(logPath, "old\r\n"));
    start();
    ASSERT_TRUE(device.write("one\r\n"));
    EXPECT_TRUE(logEquals("old\r\none\r\n"));
    window.cmdStart->click();

    window.chkOver->setChecked(true);
    start();
    ASSERT_TRUE(device.write("two\r\n"));
    EXPECT_TRUE(logEquals("two\r\n"));
    window.cmdStart->click();

    window.txtPort->setText(QStringLiteral("99"));
    MessageBoxWatcher boxes;
    window.cmdStart->click();
    EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("COM port 99 does not exist or busy")});
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
}

TEST_F(ComPortTest, TimeMarksInTheRegionalFormat)
{
    // Wine takes the code page from LC_CTYPE and the user's formats from
    // LC_MESSAGES (or LANG); the script runs this in four: en-US and de-DE,
    // and el-GR formats on code page 1252, which lacks their AM and PM, and
    // then also the month names of a short date "d MMM yyyy".
    wchar_t locale[LOCALE_NAME_MAX_LENGTH] = {};
    GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH);
    const QString expectedLocale = qEnvironmentVariable("TARNEL_EXPECTED_LOCALE");
    if (!expectedLocale.isEmpty()) {
        EXPECT_EQ(QString::fromWCharArray(locale), expectedLocale);
    }

    window.chkTime->setChecked(true);
    start();
    const std::time_t sentAt = std::time(nullptr);
    ASSERT_TRUE(device.write("x,1\r\n"));
    ASSERT_TRUE(waitUntil([&] { return readFile(logPath).endsWith("x;1\r\n"); }));
    const QByteArray written = readFile(logPath);
    bool matches = false;
    for (std::time_t t = sentAt; t <= std::time(nullptr); ++t)
        matches = matches || written == systemMark(t, ";") + "x;1\r\n";
    EXPECT_TRUE(matches) << written.constData() << " in "
                         << QString::fromWCharArray(locale).toStdString();
    EXPECT_FALSE(written.contains('?')) << "a character the code page lacks";
}

TEST_F(ComPortTest, ACtsChangeAndABreakAreShown)
{
    FakeSerialState fake;
    ASSERT_TRUE(fake.isActive()) << "the line-state library is not preloaded into Wine";
    fake.setMode(FakeSerial::Counters);
    start();
    window.clearStatus();
    fake.setModemBits(FakeSerial::ModemBit::Cts);
    EXPECT_TRUE(statusShows(QStringLiteral("Change in CTS Detected")));
    window.clearStatus();
    fake.count(FakeSerial::Brk);
    EXPECT_TRUE(statusShows(QStringLiteral("Break Received")));
    window.cmdStart->click();
    fake.setMode(FakeSerial::ModemLines); // as the script set it
}

TEST_F(ComPortTest, AVanishedDeviceIsReopenedAndLoggingGoesOn)
{
    start();
    ASSERT_TRUE(device.write("one\r\ntw"));
    ASSERT_TRUE(logEquals("one\r\n"));
    device.close();
    ASSERT_TRUE(DevicePort::vanish());
    EXPECT_TRUE(statusShows(EventMessages::deviceDisconnected()));
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    ASSERT_TRUE(DevicePort::comeBack());
    EXPECT_TRUE(statusShows(EventMessages::deviceReconnected()));
    ASSERT_TRUE(device.open(devicePort));
    ASSERT_TRUE(device.write("o\r\nthree\r\n"));
    EXPECT_TRUE(logEquals("one\r\ntw\r\no\r\nthree\r\n")); // the cut line ended at the loss
}

// --start: no click, a port that is not there yet waited for, and a log
// file that cannot be opened still given its message.
TEST_F(ComPortTest, StartAtLaunch)
{
    enum class Port { There, BackAfterThreeSeconds };
    struct Case
    {
        const char *name;
        Port port;
        bool logToFolder; // the folder itself as the log file: it cannot be opened
        QStringList statusTexts;
        QStringList boxes;
        QByteArray log;
    };
    const QString fileMessage = QStringLiteral("Can't open or create file: ") + dir.path();
    const QList<Case> cases{
        {"the port there", Port::There, false, {}, {}, "a;b\r\n"},
        {"the port back three seconds after launch",
         Port::BackAfterThreeSeconds,
         false,
         {EventMessages::deviceDisconnected(), EventMessages::deviceReconnected()},
         {},
         "a;b\r\n"},
        {"a log file that cannot be opened", Port::There, true, {}, {fileMessage}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(!QFile::exists(logPath) || QFile::remove(logPath));
        window.txtFile->setText(c.logToFolder ? dir.path() : logPath);
        if (c.port == Port::BackAfterThreeSeconds) {
            device.close();
            ASSERT_TRUE(DevicePort::vanish());
        }
        MessageBoxWatcher boxes;
        window.startAtLaunch();
        if (c.port == Port::BackAfterThreeSeconds) {
            EXPECT_EQ(window.Label1->text(), c.statusTexts.value(0));
            runEventLoop(3000);
            EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
            ASSERT_TRUE(DevicePort::comeBack());
            EXPECT_TRUE(statusShows(c.statusTexts.value(1)));
            ASSERT_TRUE(device.open(devicePort));
        }
        EXPECT_EQ(boxes.texts(), c.boxes);
        ASSERT_TRUE(device.write("a,b\r\n"));
        if (c.log.isEmpty()) {
            runEventLoop(500);
            EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
            EXPECT_FALSE(window.comm->isOpen() || window.comm->isReconnecting());
        } else {
            EXPECT_TRUE(logEquals(c.log));
            window.cmdStart->click(); // Stop
        }
        EXPECT_EQ(readFile(logPath), c.log);
    }
}

// The program itself, as a user or a shortcut starts it.
TEST(Launch, OptionsAndLoggingFromLaunch)
{
    struct Case
    {
        const char *name;
        QStringList arguments;
        int exitCode; // -1: logs from COM 5 until its window is closed, then 0
        QString output;
        QString complaint; // on standard error
    };
    const QList<Case> cases{
        {"--help", {"--help"}, 0, QStringLiteral("--settings-dir <folder>"), {}},
        {"--version", {"--version"}, 0, QStringLiteral("Tarnel %1").arg(TARNEL_VERSION), {}},
        {"an unknown option", {"--bogus"}, 2, {}, QStringLiteral("Unknown option 'bogus'.")},
        {"--start", {"--start"}, -1, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString logPath = QDir::toNativeSeparators(dir.filePath(QStringLiteral("log.csv")));
        const QString ini = dir.filePath(QStringLiteral("tarnel.ini"));
        // The blank after the port is gone once the window has saved the file.
        const QByteArray settings = "5\r\n;\r\n" + logPath.toLocal8Bit() + "\r\n 0\r\n 0\r\n";
        ASSERT_TRUE(writeFile(ini, QByteArray(settings).replace("5\r\n", "5 \r\n")));
        DevicePort device;
        ASSERT_TRUE(device.open(devicePort));

        QProcess tarnel;
        tarnel.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tarnel.exe"),
                     QStringList{QStringLiteral("--settings-dir"), dir.path()} + c.arguments);
        ASSERT_TRUE(tarnel.waitForStarted());
        if (c.exitCode < 0) {
            // Sent until one arrives: what is sent before the port opens is lost.
            bool logged = false;
            for (int i = 0; i < 40 && !logged; ++i) {
                ASSERT_TRUE(device.write("a,b\r\n"));
                logged = waitUntil([&] { return readFile(logPath).contains("a;b\r\n"); }, 500);
            }
            EXPECT_TRUE(logged);
            tarnel.terminate(); // closes the window, as its close button does
        }
        ASSERT_TRUE(tarnel.waitForFinished(20000));
        EXPECT_EQ(tarnel.exitCode(), qMax(c.exitCode, 0));
        EXPECT_TRUE(QString::fromLocal8Bit(tarnel.readAllStandardOutput()).contains(c.output));
        const QString error = QString::fromLocal8Bit(tarnel.readAllStandardError());
        EXPECT_TRUE(error.contains(c.complaint)) << error.toStdString();
        EXPECT_EQ(readFile(ini),
                  c.exitCode < 0 ? settings : QByteArray(settings).replace("5\r\n", "5 \r\n"));
    }
}

TEST(ComPortSettings, WrittenOnCloseWithCrLfAndReadAtTheNextStart)
{
    QTemporaryDir dir;
    const FileLocations files = FileLocations::forProgram(dir.path());
    ASSERT_EQ(files.configDir, dir.path()); // a folder this user may write
    const QString log = files.defaultLogPath;
    EXPECT_TRUE(log.endsWith(QStringLiteral("\\log.csv"))) << log.toStdString();
    // A user folder in another script than the code page's (1252 here): the
    // file is then UTF-8, marked; a path the code page holds is written in
    // it, byte for byte as always.
    const QString cyrillic = dir.filePath(QStringLiteral("Пользователь/log.csv"));
    struct Case
    {
        QString logFile;
        QByteArray bytes;
    };
    const QList<Case> cases{
        {log, "7\r\n|\r\n" + log.toLocal8Bit() + "\r\n 1\r\n 0\r\n"},
        {cyrillic, "\xEF\xBB\xBF"
                   "7\r\n|\r\n" +
                       cyrillic.toUtf8() + "\r\n 1\r\n 0\r\n"},
    };
    ASSERT_EQ(GetACP(), 1252u) << "run with LANG=en_US.UTF-8";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.logFile.toStdString());
        {
            FrmTarnel window(files);
            window.txtPort->setText(QStringLiteral("7"));
            window.txtDelim->setText(QStringLiteral("|"));
            window.txtFile->setText(c.logFile);
            window.chkTime->setChecked(true);
            window.close();
        }
        EXPECT_EQ(readFile(dir.filePath(QStringLiteral("tarnel.ini"))), c.bytes);
        FrmTarnel restored(files);
        EXPECT_EQ(restored.txtPort->text(), QStringLiteral("7"));
        EXPECT_EQ(restored.txtDelim->text(), QStringLiteral("|"));
        EXPECT_EQ(restored.txtFile->text(), c.logFile);
        EXPECT_EQ(restored.chkTime->checkState(), Qt::Checked);
    }
}

// The path of the case above, logged to for real: Wine reaches such a name
// only in a UTF-8 locale, which is why the tests run in one.
TEST_F(ComPortTest, ALogPathOutsideTheCodePage)
{
    const QString folder = dir.filePath(QStringLiteral("Пользователь"));
    ASSERT_TRUE(QDir().mkpath(folder));
    logPath = folder + QStringLiteral("/журнал.csv");
    window.txtFile->setText(logPath);
    start();
    ASSERT_TRUE(device.write("a,b\r\n"));
    EXPECT_TRUE(logEquals("a;b\r\n"));
}

} // namespace
