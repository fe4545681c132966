// Start, Stop and logging through the real window and a real pseudo-terminal.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/lineassembler.h"
#include "capture/serialdevice.h"
#include "capture/serialport.h"
#include "capture/timemark.h"
#include "logging/logsession.h"
#include "support/accessibilityrecorder.h"
#include "support/devicedata.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"
#include "support/ptydevice.h"
#include "support/ptywindowtest.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <clocale>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <termios.h>

namespace {

using LoggingTest = PtyWindowTest;

// The mark the C library gives for a moment: %x, delimiter, %X, delimiter.
// Neither has blanks to trim in the C and de_DE locales.
QByteArray libcMark(std::time_t when, const QByteArray &delimiter)
{
    std::tm local{};
    localtime_r(&when, &local);
    char date[128] = {}, time[128] = {};
    std::strftime(date, sizeof date, "%x", &local);
    std::strftime(time, sizeof time, "%X", &local);
    return QByteArray(date) + delimiter + QByteArray(time) + delimiter;
}

// Sets one locale category for as long as it lives.
class LocaleScope
{
public:
    LocaleScope(int category, const char *name)
        : m_category(category), m_old(std::setlocale(category, nullptr))
    {
        m_ok = std::setlocale(category, name) != nullptr;
    }
    ~LocaleScope() { std::setlocale(m_category, m_old.constData()); }
    bool ok() const { return m_ok; }

private:
    int m_category;
    QByteArray m_old;
    bool m_ok = false;
};

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

    // In UTF-8 a delimiter outside ASCII is written as its own bytes.
    window.txtDelim->setText(QStringLiteral("€"));
    start();
    ASSERT_TRUE(device.write("x,y\r\n"));
    EXPECT_TRUE(logEquals("a;b;c\r\nsecond;line\r\n\r\nx\xE2\x82\xACy\r\n"));
    EXPECT_EQ(window.Label1->text(), QStringLiteral("x€y"));
}

TEST_F(LoggingTest, EveryByteValueAndHugeLinesArriveUnchanged)
{
    const QByteArray all = everyByteValue();
    const QByteArray huge = longLineWithCommas(1'000'000);
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

TEST_F(LoggingTest, ALongLineCutByStopGoesOnAtTheNextStart)
{
    // Past the stream limit a line is in the file before its end arrives;
    // Stop leaves it there, and the next Start writes the rest of the line
    // first, into whatever file it opens, without a second time mark.
    QByteArray head(LineAssembler::defaultStreamLimit + 1000, 'h');
    head[10] = ',';
    const QByteArray headInFile = QByteArray(head).replace(',', ';');
    for (bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "overwrite" : "append");
        window.chkOver->setChecked(true);
        start();
        window.chkOver->setChecked(overwrite);
        ASSERT_TRUE(device.write(head));
        ASSERT_TRUE(logEquals(headInFile));
        window.cmdStart->click();
        EXPECT_EQ(log(), headInFile);
        window.chkTime->setChecked(true); // the mark went with the line's beginning

        start();
        ASSERT_TRUE(device.write("tail,\r\n"));
        EXPECT_TRUE(logEquals(overwrite ? "tail;\r\n" : headInFile + "tail;\r\n"));
        EXPECT_TRUE(window.Label1->text().startsWith(QStringLiteral("hhhhhhhhhh;hhh")));
        window.cmdStart->click();
        window.chkTime->setChecked(false);
    }
}

TEST_F(LoggingTest, ALineDoesNotArmTheStatusTimer)
{
    start();
    window.clearStatus(); // the first expiry after creation
    // A line arriving a second after a message goes when the message's two
    // seconds end, not two seconds after the line. The line waits in the
    // port, unannounced, until the message is half over, so that however
    // long the device takes it cannot arrive after the message is gone.
    auto *portDevice = window.comm->findChild<SerialDevice *>();
    ASSERT_NE(portDevice, nullptr);
    QSignalSpy arrived(portDevice, &SerialDevice::received);
    QSignalBlocker held(window.comm);
    ASSERT_TRUE(device.write("a,1\r\n"));
    ASSERT_TRUE(arrived.wait(5000));
    held.unblock();
    emit window.comm->notification(EventCode::Framing);
    held.reblock();
    ASSERT_TRUE(waitUntil([&] { return window.Timer1->remainingTime() <= 1000; }));
    QSignalSpy expiry(window.Timer1, &QTimer::timeout);
    held.unblock();
    emit window.comm->notification(EventCode::Receive);
    ASSERT_EQ(window.Label1->text(), QStringLiteral("a;1"));
    EXPECT_LE(window.Timer1->remainingTime(), 1000);
    ASSERT_TRUE(expiry.wait(5000));
    EXPECT_EQ(window.Label1->text(), QString());
    EXPECT_FALSE(window.Timer1->isActive());

    // With no message pending a line stays shown.
    ASSERT_TRUE(device.write("b\r\n"));
    ASSERT_TRUE(waitUntil([&] { return window.Label1->text() == QStringLiteral("b"); }));
    EXPECT_FALSE(window.Timer1->isActive());
    runEventLoop(2500);
    EXPECT_EQ(window.Label1->text(), QStringLiteral("b"));
}

TEST_F(LoggingTest, TheLogFileNameIsTakenAsTyped)
{
    QTemporaryDir current;
    const QString programCurrent = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(current.path()));
    struct Case
    {
        QString typed;
        bool overwrite;
        QString absent; // what a rewritten name would have created instead
    };
    const QList<Case> cases{
        {"log.csv ", false, "log.csv"},              // trailing blank kept
        {"rel.csv", false, dir.path() + "/rel.csv"}, // relative to the current directory
        {":x.csv", false, "x.csv"},                  // no resource prefix
        {":new.csv", true, "new.csv"},               // overwrite creates a missing file
        {"  lead.csv", true, "lead.csv"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        window.txtFile->setText(c.typed);
        window.chkOver->setChecked(c.overwrite);
        start();
        ASSERT_TRUE(device.write("n,1\r\n"));
        // Joined by hand: QDir takes a leading ':' for a resource path.
        const QString created = current.path() + u'/' + c.typed;
        EXPECT_TRUE(waitUntil([&] { return readFile(created) == "n;1\r\n"; }));
        const QString absent =
            QFileInfo(c.absent).isAbsolute() ? c.absent : current.path() + u'/' + c.absent;
        EXPECT_FALSE(QFileInfo::exists(absent));
        window.cmdStart->click();
    }
    QDir::setCurrent(programCurrent);
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
        QString delimiter = QStringLiteral(";");
        bool atLaunch = false; // started by --start rather than by a click
    };
    // Half a surrogate pair: no character at all, so not one of the code page.
    const QString noCharacter(QChar(0xD800));
    const QList<Case> cases{
        {QStringLiteral("7x"), logPath, QStringLiteral("COM port 7x does not exist or busy")},
        {QStringLiteral("0"), logPath, QStringLiteral("COM port 0 does not exist or busy")},
        {QStringLiteral("99999"), logPath, QStringLiteral("COM port 99999 does not exist or busy")},
        {QStringLiteral(" 5 "), QString(), QStringLiteral("Can't open or create file: ")},
        {QStringLiteral("5"), dir.path(),
         QStringLiteral("Can't open or create file: ") + dir.path()},
        {QStringLiteral("5"), logPath,
         QStringLiteral("Can't write this delimiter in the system code page: ") + noCharacter,
         noCharacter + QStringLiteral(";")},
        // At launch a missing port is waited for (com7 leads nowhere), but not
        // one no number selects, nor one whose log file cannot be opened.
        {QStringLiteral("0"), logPath, QStringLiteral("COM port 0 does not exist or busy"),
         QStringLiteral(";"), true},
        {QStringLiteral("7"), dir.path(),
         QStringLiteral("Can't open or create file: ") + dir.path(), QStringLiteral(";"), true},
    };
    // A dangling link stands for an unplugged adapter, and keeps port 7 off
    // the machine's real /dev/ttyS6.
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("com7"))));
    for (const Case &c : cases) {
        MessageBoxWatcher boxes;
        window.txtPort->setText(c.port);
        window.txtFile->setText(c.file);
        window.txtDelim->setText(c.delimiter);
        if (c.atLaunch)
            window.startAtLaunch();
        else
            window.cmdStart->click();
        ASSERT_EQ(boxes.boxes().size(), 1) << c.message.toStdString();
        const auto &box = boxes.boxes().front();
        EXPECT_EQ(box.text, c.message);
        EXPECT_EQ(box.title, QStringLiteral("Tarnel"));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
        EXPECT_FALSE(window.comm->isOpen()) << c.message.toStdString();
        EXPECT_FALSE(window.comm->isReconnecting()) << c.message.toStdString();
    }
    EXPECT_FALSE(QFile::exists(logPath)); // nothing logged, a refused delimiter opens nothing
    // After all that, the port is free again.
    window.txtPort->setText(QStringLiteral("5"));
    window.txtFile->setText(logPath);
    window.txtDelim->setText(QStringLiteral(";"));
    start();
}

TEST_F(LoggingTest, ABusyPortCannotBeOpenedTwice)
{
    start();
    // Its holder's terminal, cooked: whoever is refused leaves it so.
    termios modes{};
    ASSERT_EQ(::tcgetattr(device.masterFd(), &modes), 0);
    modes.c_lflag |= ICANON;
    ASSERT_EQ(::tcsetattr(device.masterFd(), TCSANOW, &modes), 0);
    FrmTarnel second(dir.path());
    second.txtPort->setText(QStringLiteral("5"));
    second.txtFile->setText(dir.filePath(QStringLiteral("second.csv")));
    MessageBoxWatcher boxes;
    const QString busy = QStringLiteral("COM port 5 does not exist or busy");
    second.cmdStart->click();
    EXPECT_EQ(boxes.texts(), QStringList{busy});
    EXPECT_EQ(second.cmdStart->text(), QStringLiteral("Start"));

    // Waited for, as at a launch: in the status line at every try, past its
    // two seconds, and logged once.
    QSignalSpy logged(&second, &FrmTarnel::messageShown);
    second.startAtLaunch();
    runEventLoop(3500);
    EXPECT_EQ(second.Label1->text(), busy);
    EXPECT_EQ(logged.count(), 1);
    ASSERT_EQ(::tcgetattr(device.masterFd(), &modes), 0);
    EXPECT_TRUE(modes.c_lflag & ICANON) << "a refused open left the terminal raw";
}

TEST_F(LoggingTest, AFullDiskStopsLoggingAndNothingReopensThePort)
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

    // The device's report that it went away, as it comes when the bytes that
    // failed to be written were the last it sent: logging has stopped, so
    // nothing reopens the port or says it is gone.
    auto *serialDevice = window.comm->findChild<SerialDevice *>();
    ASSERT_NE(serialDevice, nullptr);
    emit serialDevice->lost();
    EXPECT_FALSE(waitUntil(
        [&] {
            return window.comm->isOpen() || window.comm->isReconnecting() ||
                   window.Label1->text() == EventMessages::deviceDisconnected();
        },
        5000));
}

TEST(LoggingRules, TimeMarksGreyedBoxesAndTheFirstDelimiterCharacter)
{
    struct Step
    {
        std::function<void(FrmTarnel &)> before;
        QByteArray sent;
        bool marked;
        QByteArray line;
    };
    auto click = [](FrmTarnel &w) { w.chkTime->click(); };
    const QList<Step> steps{
        {nullptr, "1,2", false, "1a2"}, // greyed from the file: no mark
        {click, "x,y", true, "xay"},    // ticked while logging
        {nullptr, ",", true, "a"},
        {click, "3", false, "3"}, // cleared while logging
    };
    for (const char *locale : {"C", "de_DE.UTF-8"}) {
        SCOPED_TRACE(locale);
        LocaleScope timeLocale(LC_TIME, locale);
        ASSERT_TRUE(timeLocale.ok());
        QTemporaryDir dir;
        PtyDevice device;
        ASSERT_TRUE(device.open(dir.path(), 4));
        const QString logPath = dir.filePath("log.csv");
        ASSERT_TRUE(writeFile(logPath, "old\r\n"));
        ASSERT_TRUE(writeFile(dir.filePath("tarnel.ini"),
                              "4\r\n;\r\n" + logPath.toUtf8() + "\r\n1.5\r\n 1.5\r\n"));
        FrmTarnel window(dir.path());
        ASSERT_EQ(window.chkTime->checkState(), Qt::PartiallyChecked);
        ASSERT_EQ(window.chkOver->checkState(), Qt::PartiallyChecked); // greyed: appends
        window.txtDelim->setText(QStringLiteral("ab"));
        window.cmdStart->click();
        ASSERT_TRUE(window.isLogging());

        QByteArray expected = "old\r\n";
        for (const Step &step : steps) {
            SCOPED_TRACE(step.sent.constData());
            if (step.before)
                step.before(window);
            const std::time_t sentAt = std::time(nullptr);
            ASSERT_TRUE(device.write(step.sent + "\r\n"));
            ASSERT_TRUE(waitUntil([&] { return readFile(logPath).endsWith(step.line + "\r\n"); }));
            const std::time_t seenAt = std::time(nullptr);
            const QByteArray written = readFile(logPath).sliced(expected.size());
            // A marked line has the mark of a second within the wait.
            bool matches = !step.marked && written == step.line + "\r\n";
            for (std::time_t t = sentAt; step.marked && t <= seenAt; ++t)
                matches = matches || written == libcMark(t, "a") + step.line + "\r\n";
            EXPECT_TRUE(matches) << written.constData();
            expected += written;
        }
    }
}

TEST(LoggingRules, PaddedFormatsLoseTheirOuterBlanksOnly)
{
    // Formats that pad with blanks (%e, %k), hold blanks inside and a tab at
    // the end, as regional settings may: a locale of its own, made here.
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("padded.src"));
    ASSERT_TRUE(writeFile(source, R"(LC_TIME
abday "Sun";"Mon";"Tue";"Wed";"Thu";"Fri";"Sat"
day "Sunday";"Monday";"Tuesday";"Wednesday";"Thursday";"Friday";"Saturday"
abmon "Jan";"Feb";"Mar";"Apr";"May";"Jun";"Jul";"Aug";"Sep";"Oct";"Nov";"Dec"
mon "January";"February";"March";"April";"May";"June";"July";"August";"September";"October";"November";"December"
d_t_fmt "%a %d %b %Y %T"
d_fmt "%e. %m. %Y "
t_fmt "%k:%M:%S<U0009> "
am_pm "";""
t_fmt_ampm ""
END LC_TIME
)"));
    // The other categories are left out on purpose: warnings, status 1.
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"),
                    {"-c", "-i", source, "-f", "UTF-8", dir.filePath(QStringLiteral("padded"))});
    ASSERT_TRUE(localedef.waitForFinished(30000)) << "localedef did not run";
    ASSERT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("padded/LC_TIME"))))
        << localedef.readAllStandardError().constData();

    const QByteArray oldLocPath = qgetenv("LOCPATH");
    qputenv("LOCPATH", QFile::encodeName(dir.path()));
    LocaleScope timeLocale(LC_TIME, "padded");
    if (oldLocPath.isNull())
        qunsetenv("LOCPATH");
    else
        qputenv("LOCPATH", oldLocPath);
    ASSERT_TRUE(timeLocale.ok());

    std::tm moment{};
    moment.tm_year = 2023 - 1900;
    moment.tm_mon = 10;
    moment.tm_mday = 3;
    moment.tm_hour = 7;
    moment.tm_min = 13;
    moment.tm_sec = 20;
    moment.tm_isdst = -1;
    const std::time_t when = std::mktime(&moment);
    EXPECT_EQ(TimeMark::format(when, ";"), QByteArray("3. 11. 2023;7:13:20\t;"));
}

class AccessibleStatusTest : public PtyWindowTest
{
protected:
    AccessibilityRecorder screenReader;
};

TEST_F(AccessibleStatusTest, MessagesAreAnnouncedAndReceivedLinesAreNot)
{
    start();
    QAccessibleInterface *statusLine = QAccessible::queryAccessibleInterface(window.Label1);
    ASSERT_NE(statusLine, nullptr);
    const QString hint = EventMessages::noLineEnd();
    struct Step
    {
        std::function<void()> cause;
        QString shown;
        QStringList announced;
    };
    const QList<Step> steps{
        {[&] { device.write("a,1\r\n"); }, "a;1", {}},
        {[&] { emit window.comm->notification(EventCode::Framing); },
         "Framing Error",
         {"Framing Error"}},
        {[&] { device.write("b\r\nc\r\nd\r\n"); }, "d", {}},
        {[&] { emit window.comm->notification(EventCode::CtsChange); },
         "Change in CTS Detected",
         {"Change in CTS Detected"}},
        {[&] { device.write(QByteArray(LogSession::noLineEndHintBytes, 'x')); }, hint, {hint}},
        {[&] { window.clearStatus(); }, "", {}},
        // As many bytes after a line end, taken in one read.
        {[&] {
             {
                 const QSignalBlocker held(window.comm);
                 device.write("e\r\n" + QByteArray(LogSession::noLineEndHintBytes, 'y'));
                 waitUntil([&] { return device.queued() == 0; });
                 runEventLoop(200); // and what the kernel still held
             }
             emit window.comm->notification(EventCode::Receive);
         },
         hint,
         {hint}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.shown.toStdString());
        screenReader.clear();
        step.cause();
        ASSERT_TRUE(waitUntil([&] { return window.Label1->text() == step.shown; }));
        EXPECT_EQ(statusLine->text(QAccessible::Name), step.shown);
        EXPECT_EQ(statusLine->text(QAccessible::Description), QStringLiteral("Status line"));
        EXPECT_EQ(screenReader.announcements(), step.announced);
        // While a message is up, it is the notification inside the status line.
        ASSERT_EQ(statusLine->childCount(), step.announced.size());
        if (!step.announced.isEmpty()) {
            EXPECT_EQ(statusLine->child(0)->role(), QAccessible::Notification);
            EXPECT_EQ(statusLine->child(0)->text(QAccessible::Name), step.shown);
            EXPECT_EQ(statusLine->child(0)->parent()->object(), window.Label1);
        }
    }

    // The message boxes of Start are alerts.
    window.cmdStart->click();
    window.txtPort->setText(QStringLiteral("0"));
    screenReader.clear();
    MessageBoxWatcher boxes;
    window.cmdStart->click();
    ASSERT_EQ(boxes.boxes().size(), 1);
    const auto &updates = screenReader.updates();
    const bool alerted =
        std::any_of(updates.begin(), updates.end(), [](const AccessibilityRecorder::Update &u) {
            return u.type == QAccessible::Alert && u.role == QAccessible::AlertMessage;
        });
    EXPECT_TRUE(alerted);
}

} // namespace
