// The Windows port layer against every answer a driver may give: the real
// window and the real layer, with a scripted driver answering the layer's
// Win32 calls. A call that would hang on a real driver is reported by the
// driver at once, so a freeze fails a case instead of hanging the suite.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "support/accessibilityrecorder.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"
#include "windows/scripteddriver.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

namespace {

using Call = ScriptedDriver::Call;

bool sameState(const DCB &a, const DCB &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameTimeouts(const COMMTIMEOUTS &a, const COMMTIMEOUTS &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class PortLayerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        window.txtPort->setText(QStringLiteral("3"));
        window.txtFile->setText(logPath);
        SerialPort *port = window.comm;
        QObject::connect(port, &SerialPort::notification, port, [this](int code) {
            if (EventMessages::showsMessage(code))
                messages.append(EventMessages::messageFor(code));
        });
        QObject::connect(port, &SerialPort::deviceLost, port,
                         [this] { messages.append(EventMessages::deviceDisconnected()); });
        QObject::connect(port, &SerialPort::deviceRestored, port,
                         [this] { messages.append(EventMessages::deviceReconnected()); });
        QObject::connect(port, &SerialPort::portRefused, port,
                         [this] { messages.append(window.Label1->text()); });
    }
    void TearDown() override
    {
        window.close();
        EXPECT_FALSE(driver.isOpen());
        EXPECT_EQ(driver.misuse(), QStringList());
    }

    void start()
    {
        MessageBoxWatcher boxes;
        window.cmdStart->click();
        ASSERT_EQ(boxes.texts(), QStringList());
        ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    }
    // The port as it was before Start, as the next program must find it.
    void expectPortPutBack() const
    {
        EXPECT_FALSE(driver.isOpen());
        EXPECT_TRUE(sameState(driver.state(), ScriptedDriver::configuredState()))
            << "baud " << driver.state().BaudRate << ", XON/XOFF " << driver.state().fOutX;
        EXPECT_TRUE(sameTimeouts(driver.timeouts(), ScriptedDriver::configuredTimeouts()));
    }

    ScriptedDriver driver; // first in, last out: the window's port closes before it goes
    QTemporaryDir dir;
    FrmTarnel window{dir.path()};
    QString logPath = dir.filePath(QStringLiteral("log.csv"));
    QStringList messages;
};

void settle()
{
    runEventLoop(100);
}

TEST_F(PortLayerTest, EveryAnswerOfTheDriverWhileLogging)
{
    struct Case
    {
        const char *name;
        std::function<void(ScriptedDriver &)> script;
        QByteArray log;
        QStringList messages;
    };
    const QString disconnected = EventMessages::deviceDisconnected();
    const QString reconnected = EventMessages::deviceReconnected();
    const QString busy = QStringLiteral("COM port 3 does not exist or busy");
    const QString unknown = QStringLiteral("Unknown error or event");
    int opensAtStart = 0;
    // Waits until the port has been opened this many times in the case.
    auto reconnect = [&opensAtStart](ScriptedDriver &d, int opens) {
        EXPECT_TRUE(
            waitUntil([&] { return d.opens() == opensAtStart + opens && d.isOpen(); }, 5000));
    };
    const QList<Case> cases{
        {"a wait that is pending and ends later",
         [](ScriptedDriver &d) { d.send("x,1\r\n"); },
         "x;1\r\n",
         {}},
        {"a wait that ends at once: events came before it was issued",
         [](ScriptedDriver &d) {
             d.beforeClearCommError([&d] { d.signal(EV_CTS | EV_RXCHAR); });
             d.send("1\r\n");
         },
         "1\r\n",
         {"Change in CTS Detected"}},
        {"CE_FRAME", [](ScriptedDriver &d) { d.signal(EV_ERR, CE_FRAME); }, "", {"Framing Error"}},
        {"CE_BREAK",
         [](ScriptedDriver &d) { d.signal(EV_BREAK, CE_BREAK); },
         "",
         {"Break Received"}},
        {"several errors at once",
         [](ScriptedDriver &d) {
             d.signal(EV_ERR | EV_BREAK | EV_DSR, CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK);
         },
         "",
         {"Change in DSR Detected", "Break Received", "Framing Error", "Overrun Error",
          "Parity Error"}},
        {"EV_ERR with no error latched",
         [](ScriptedDriver &d) { d.signal(EV_ERR); },
         "",
         {"Unknown error or event"}},
        {"EV_ERR with only CE_BREAK latched, then EV_BREAK alone; with only CE_RXOVER",
         [](ScriptedDriver &d) {
             d.signal(EV_ERR, CE_BREAK);
             settle();
             d.signal(EV_BREAK);
             settle();
             d.signal(EV_ERR, CE_RXOVER);
         },
         "",
         {"Break Received", unknown, "Break Received", "Receive Buffer Overflow", unknown}},
        {"an error read ahead and one more in the wake of its flag, then EV_ERR alone",
         [](ScriptedDriver &d) {
             d.beforeClearCommError([&d] {
                 d.signal(EV_ERR, CE_FRAME);
                 d.beforeClearCommError([&d] { d.signal(0, CE_OVERRUN); });
             });
             d.send("a\r\n");
             settle();
             d.signal(EV_ERR);
         },
         "a\r\n",
         {"Framing Error", "Overrun Error", unknown}},
        {"an error between a wake and ClearCommError",
         [](ScriptedDriver &d) {
             d.beforeClearCommError([&d] { d.signal(EV_ERR, CE_FRAME); });
             d.send("a\r\n");
         },
         "a\r\n",
         {"Framing Error"}},
        {"a break between a wake and ClearCommError",
         [](ScriptedDriver &d) {
             d.beforeClearCommError([&d] { d.signal(EV_BREAK, CE_BREAK); });
             d.send("b\r\n");
         },
         "b\r\n",
         {"Break Received"}},
        {"reads that return fewer bytes than asked",
         [](ScriptedDriver &d) {
             d.limitReadsTo(3);
             d.send("abcdefgh,\r\nij");
             settle();
             d.send("\r\n");
         },
         "abcdefgh;\r\nij\r\n",
         {}},
        {"reads that are pending when they return",
         [](ScriptedDriver &d) {
             d.setReadAnswer(ScriptedDriver::ReadAnswer::PendingThenDone);
             d.send("p\r\n");
         },
         "p\r\n",
         {}},
        {"a read aborted by a line error goes on once it is cleared",
         [](ScriptedDriver &d) {
             d.failNext(Call::ReadFile, ERROR_OPERATION_ABORTED);
             d.send("q\r\n");
         },
         "q\r\n",
         {}},
        {"a read whose event is set before it ends; one that ends as it is cancelled",
         [](ScriptedDriver &d) {
             d.setReadAnswer(ScriptedDriver::ReadAnswer::SignalledEarly);
             d.send("s\r\n");
             settle();
             d.setReadAnswer(ScriptedDriver::ReadAnswer::EndsAtCancel);
             d.send("c\r\n");
         },
         "s\r\nc\r\n",
         {}},
        {"no event history: bytes between ClearCommError and the next wait",
         [](ScriptedDriver &d) {
             d.keepEventHistory(false);
             d.before(Call::WaitCommEvent, [&d] { d.send("tail\r\n"); });
             d.send("x\r\n");
         },
         "x\r\ntail\r\n",
         {}},
        {"reads that end with an error after handing over bytes: aborted, then removed",
         [&](ScriptedDriver &d) {
             d.failNextRead(ERROR_OPERATION_ABORTED, 2); // goes on once the error is cleared
             d.send("xy\r\n");
             settle();
             d.failNextRead(ERROR_DEVICE_REMOVED, 5);
             d.send("ab\r\ncd");
             reconnect(d, 2);
             d.send("e\r\n");
         },
         "xy\r\nab\r\nc\r\ne\r\n",
         {disconnected, reconnected}},
        {"a read refused (ERROR_ACCESS_DENIED): lost, reopened",
         [&](ScriptedDriver &d) {
             d.send("r1\r\n");
             settle();
             d.failNext(Call::ReadFile, ERROR_ACCESS_DENIED);
             d.send("gone\r\n");
             reconnect(d, 2);
             d.send("r2\r\n");
         },
         "r1\r\nr2\r\n",
         {disconnected, reconnected}},
        {"a read that never ends is cancelled: lost, reopened",
         [&](ScriptedDriver &d) {
             d.setReadAnswer(ScriptedDriver::ReadAnswer::Never);
             d.send("stuck\r\n");
             EXPECT_TRUE(waitUntil([&] { return !d.isOpen(); }, 5000));
             d.setReadAnswer(ScriptedDriver::ReadAnswer::AtOnce);
             reconnect(d, 2);
             d.send("s\r\n");
         },
         "s\r\n",
         {disconnected, reconnected}},
        {"an adapter removed mid-line (ERROR_BAD_COMMAND), then plugged back: the line ends",
         [&](ScriptedDriver &d) {
             d.send("one\r\ntw");
             settle();
             d.unplug(ERROR_BAD_COMMAND);
             settle();
             EXPECT_FALSE(d.isOpen());
             d.plugIn(); // at its factory settings
             reconnect(d, 2);
             EXPECT_EQ(d.state().BaudRate, DWORD(CBR_115200)); // the settings from Start
             EXPECT_FALSE(d.state().fOutX);
             d.send("o\r\nthree\r\n");
         },
         "one\r\ntw\r\no\r\nthree\r\n",
         {disconnected, reconnected}},
        {"removed with the wait pending (ERROR_DEVICE_REMOVED), missing, busy, back",
         [&](ScriptedDriver &d) {
             d.send("k\r\nl");
             settle();
             d.unplug(ERROR_DEVICE_REMOVED, ERROR_DEVICE_REMOVED);
             runEventLoop(1200); // a try while it is missing: nothing said
             d.plugIn();
             d.failNext(Call::CreateFile, ERROR_SHARING_VIOLATION);
             reconnect(d, 2);
             d.send("m\r\n");
         },
         "k\r\nl\r\nm\r\n",
         {disconnected, busy, reconnected}},
        {"the wait fails at the re-arm after a wake",
         [&](ScriptedDriver &d) {
             d.failNext(Call::WaitCommEvent, ERROR_BAD_COMMAND);
             d.send("w\r\n");
             reconnect(d, 2);
         },
         "w\r\n",
         {disconnected, reconnected}},
        {"the wait fails at a reconnect try",
         [&](ScriptedDriver &d) {
             d.unplug(ERROR_ACCESS_DENIED);
             settle();
             d.failNext(Call::WaitCommEvent, ERROR_INVALID_PARAMETER);
             d.plugIn();
             reconnect(d, 3); // the second try opens it
             d.send("t\r\n");
         },
         "t\r\n",
         {disconnected, reconnected}},
        {"a wait aborted on a line error goes on once it is cleared",
         [](ScriptedDriver &d) {
             d.signal(0, CE_FRAME);
             d.abortWaits(1);
             settle();
             d.send("v\r\n");
         },
         "v\r\n",
         {"Framing Error"}},
        {"waits aborted again and again: lost",
         [&](ScriptedDriver &d) {
             d.abortWaits(3);
             reconnect(d, 2);
             d.send("u\r\n");
         },
         "u\r\n",
         {disconnected, reconnected}},
        {"waits that end at once with no event, again and again: lost",
         [&](ScriptedDriver &d) {
             d.endWaitsEmpty(1000);
             EXPECT_TRUE(waitUntil([&] { return !d.isOpen(); }, 5000));
             d.endWaitsEmpty(0);
             reconnect(d, 2);
             d.send("e\r\n");
         },
         "e\r\n",
         {disconnected, reconnected}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        ASSERT_TRUE(writeFile(logPath, ""));
        opensAtStart = driver.opens();
        start();
        EXPECT_EQ(driver.state().BaudRate, DWORD(CBR_115200));
        EXPECT_FALSE(driver.state().fOutX || driver.state().fInX || driver.state().fNull ||
                     driver.state().fAbortOnError);
        ScriptedDriver &d = driver;
        c.script(d);
        EXPECT_TRUE(
            waitUntil([&] { return readFile(logPath) == c.log && messages == c.messages; }, 5000));
        settle(); // nothing more comes: no event twice
        EXPECT_EQ(readFile(logPath), c.log);
        EXPECT_EQ(messages, c.messages);
        EXPECT_TRUE(window.isLogging());
        EXPECT_TRUE(driver.isOpen());
        window.cmdStart->click();
        expectPortPutBack();
        EXPECT_EQ(driver.misuse(), QStringList());
        driver.behave();
    }
}

TEST_F(PortLayerTest, AFailedStartOpensNothingOrClosesThePortAndWaitsForNothing)
{
    // A delimiter the code page (1252 here) has no byte for is refused
    // before anything is opened, never written as '?'.
    ASSERT_EQ(GetACP(), 1252u) << "run with LANG=en_US.UTF-8";
    window.txtDelim->setText(QStringLiteral("Ж;"));
    {
        MessageBoxWatcher boxes;
        window.cmdStart->click();
        EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral(
                                     "Can't write this delimiter in the system code page: Ж")});
        EXPECT_EQ(driver.opens(), 0);
        EXPECT_FALSE(QFile::exists(logPath));
    }
    window.txtDelim->setText(QStringLiteral("€")); // 0x80 in 1252

    for (const Call call :
         {Call::CreateFile, Call::SetCommState, Call::SetCommMask, Call::WaitCommEvent}) {
        SCOPED_TRACE(int(call));
        driver.failNext(call, ERROR_INVALID_PARAMETER);
        MessageBoxWatcher boxes;
        window.cmdStart->click();
        EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("COM port 3 does not exist or busy")});
        expectPortPutBack();
        EXPECT_FALSE(window.comm->isReconnecting());
    }
    start(); // and then it opens
    driver.send("a,b\r\n");
    EXPECT_TRUE(waitUntil([&] {
        return readFile(logPath) == "a\x80"
                                    "b\r\n";
    }));
}

// Stop and the window's close end the port without a wait that cannot end,
// whether a wait is pending or not, and also when the driver does not end
// a cancelled request.
TEST_F(PortLayerTest, StopAndCloseNeverHangAndPutThePortBack)
{
    struct Case
    {
        const char *name;
        std::function<void(ScriptedDriver &)> before;
        bool closeWindow;
    };
    auto noWait = [](ScriptedDriver &d) { // lost after the re-arm failed
        d.failNext(Call::WaitCommEvent, ERROR_BAD_COMMAND);
        d.send("x\r\n");
        EXPECT_TRUE(waitUntil([&] { return !d.isOpen(); }, 5000));
    };
    auto stuck = [](ScriptedDriver &d) { d.setStuck(true); };
    auto endedNotCollected = [](ScriptedDriver &d) { d.send("y\r\n"); };
    const QList<Case> cases{
        {"Stop, a wait pending", nullptr, false},
        {"Stop, no wait pending", noWait, false},
        {"Stop, a wait ended but not yet collected", endedNotCollected, false},
        {"Stop, a driver that ends no cancelled request", stuck, false},
        {"window closed, no wait pending", noWait, true},
        {"window closed, a driver that ends no cancelled request", stuck, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrmTarnel window(dir.path()); // one per case: a closed window is done
        window.txtPort->setText(QStringLiteral("3"));
        window.txtFile->setText(logPath);
        window.cmdStart->click();
        ASSERT_TRUE(window.isLogging());
        if (c.before)
            c.before(driver);
        QFile::remove(dir.filePath(QStringLiteral("tarnel.ini")));
        QElapsedTimer timer;
        timer.start();
        if (c.closeWindow)
            window.close();
        else
            window.cmdStart->click();
        EXPECT_LT(timer.elapsed(), 3000);
        EXPECT_FALSE(window.isLogging());
        EXPECT_FALSE(window.comm->isOpen());
        EXPECT_FALSE(window.comm->isReconnecting());
        driver.setStuck(false);
        expectPortPutBack();
        EXPECT_EQ(QFile::exists(dir.filePath(QStringLiteral("tarnel.ini"))), c.closeWindow);
        const int opens = driver.opens();
        runEventLoop(1500); // past a reconnect try
        EXPECT_EQ(driver.opens(), opens);
    }
}

// Answers in orders no case above chose: a fixed random run of lines, line
// events, refused and aborted calls, short and slow reads, removals and
// returns, and a driver that ignores cancels. Whatever came, no step holds
// the window beyond the bounded waits, the driver's contract is kept, every
// byte the driver handed over is in the log, once and in order (a line cut
// by a loss ended there), and once the driver behaves again
// the port is (re)opened and the next line is logged; Stop then puts the
// port back.
TEST_F(PortLayerTest, AnyOrderOfAnswersKeepsTheLogTrueAndRecovers)
{
    const DWORD callErrors[] = {ERROR_OPERATION_ABORTED, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                                ERROR_INVALID_PARAMETER, ERROR_GEN_FAILURE};
    const DWORD events[] = {EV_CTS, EV_DSR, EV_RLSD, EV_RING, EV_BREAK, EV_ERR, EV_RXCHAR};
    const DWORD errors[] = {CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_BREAK, CE_RXOVER};
    MessageBoxWatcher boxes;
    QByteArray expected;  // the log up to the last loss
    qsizetype logged = 0; // of the bytes the driver handed over
    QObject::connect(window.comm, &SerialPort::deviceLost, &window, [&] {
        expected += driver.delivered().sliced(std::exchange(logged, driver.delivered().size()));
        if (!expected.isEmpty() && !expected.endsWith("\r\n")) // a last CR began it
            expected += expected.endsWith('\r') ? "\n" : "\r\n";
    });
    for (const unsigned variant : {1u, 2u, 3u}) {
        SCOPED_TRACE(variant);
        std::mt19937 random(variant); // fixed: a failure comes back the same way
        auto pick = [&random](int n) { return int(random() % unsigned(n)); };
        auto some = [&](const auto &flags) {
            DWORD set = 0;
            for (const DWORD flag : flags)
                set |= pick(3) == 0 ? flag : 0;
            return set;
        };
        ASSERT_TRUE(writeFile(logPath, ""));
        expected.clear();
        logged = driver.delivered().size();
        start();
        int sent = 0;
        auto sendLine = [&] { driver.send("n" + QByteArray::number(++sent) + "\r\n"); };
        for (int step = 0; step < 100; ++step) {
            SCOPED_TRACE(step);
            // Most lines are sent to an open port: after a loss, the
            // reconnect try (a second later) is mostly waited for.
            if (driver.isPlugged() && !driver.isOpen() && pick(4) != 0)
                waitUntil([&] { return driver.isOpen(); }, 1500);
            QElapsedTimer timer;
            timer.start();
            const int roll = pick(100);
            if (roll < 34) {
                sendLine();
            } else if (roll < 40) {
                driver.signal(some(events), some(errors));
            } else if (roll < 44) {
                driver.failNext(Call(pick(6)), callErrors[pick(5)], pick(3));
            } else if (roll < 48) {
                driver.failNextRead(callErrors[pick(5)], DWORD(pick(8)));
            } else if (roll < 60) {
                const int answer = pick(9); // one in nine never ends
                driver.setReadAnswer(answer == 0 ? ScriptedDriver::ReadAnswer::Never
                                                 : ScriptedDriver::ReadAnswer(answer % 2));
            } else if (roll < 65) {
                driver.limitReadsTo(pick(2) == 0 ? MAXDWORD : DWORD(1 + pick(8)));
            } else if (roll < 69) {
                driver.abortWaits(1 + pick(3));
            } else if (roll < 72) {
                driver.unplug(callErrors[pick(5)]);
            } else if (roll < 76) {
                driver.setStuck(pick(4) == 0);
            } else if (roll < 88) {
                driver.beforeClearCommError([&, happened = some(events), latched = some(errors)] {
                    driver.signal(happened, latched);
                    sendLine();
                });
            } else if (roll < 92) {
                driver.plugIn(); // back, at its factory settings
            } else if (roll < 95) {
                driver.keepEventHistory(pick(2) == 0);
            }
            runEventLoop(pick(20));
            // Each bounded wait is a second; a few may follow one another.
            ASSERT_LT(timer.elapsed(), 6000);
            ASSERT_EQ(driver.misuse(), QStringList());
            ASSERT_TRUE(window.isLogging());
        }
        driver.behave();
        if (!driver.isPlugged())
            driver.plugIn();
        EXPECT_TRUE(waitUntil([&] { return driver.isOpen(); }, 5000));
        runEventLoop(100);
        driver.send("end\r\n");
        EXPECT_TRUE(waitUntil([&] { return readFile(logPath).endsWith("end\r\n"); }, 5000));
        EXPECT_EQ(readFile(logPath), expected + driver.delivered().sliced(logged));
        window.cmdStart->click();
        expectPortPutBack();
        const int opens = driver.opens();
        runEventLoop(1500); // past a reconnect try
        EXPECT_EQ(driver.opens(), opens);
        EXPECT_EQ(driver.misuse(), QStringList());
    }
    EXPECT_EQ(boxes.texts(), QStringList());
}

// Narrator and NVDA speak a message from the UI Automation notification
// that a value change with text becomes; received lines are not spoken.
TEST_F(PortLayerTest, MessagesReachUiAutomationAndLinesDoNot)
{
    AccessibilityRecorder recorder;
    start();
    driver.signal(EV_CTS);
    ASSERT_TRUE(waitUntil([&] { return window.Label1->text() == "Change in CTS Detected"; }));
    driver.send("line\r\n");
    ASSERT_TRUE(waitUntil([&] { return window.Label1->text() == "line"; }));
    QStringList spoken;
    for (const AccessibilityRecorder::Update &u : recorder.updates()) {
        if (u.type == QAccessible::ValueChanged && u.role == QAccessible::StatusBar)
            spoken.append(u.name);
    }
    EXPECT_EQ(spoken, QStringList{QStringLiteral("Change in CTS Detected")});
}

// Bytes read just before the adapter went away fail to be written: logging
// stops, and the port stays closed rather than being reopened for nothing.
TEST_F(PortLayerTest, AWriteFailureInTheLostPathLeavesThePortClosed)
{
    window.txtFile->setText(QStringLiteral("Z:\\dev\\full"));
    start();
    driver.limitReadsTo(4);
    driver.failNext(Call::ReadFile, ERROR_BAD_COMMAND, 1); // the second read fails
    MessageBoxWatcher boxes;
    driver.send("ab\r\ncd");
    ASSERT_TRUE(waitUntil([&] { return !boxes.boxes().isEmpty(); }));
    EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("Can't write to file: Z:\\dev\\full")});
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
    EXPECT_FALSE(window.comm->isOpen());
    runEventLoop(5000);
    EXPECT_EQ(driver.opens(), 1);
    EXPECT_FALSE(window.comm->isReconnecting());
    EXPECT_FALSE(messages.contains(EventMessages::deviceDisconnected()));
    EXPECT_NE(window.Label1->text(), EventMessages::deviceDisconnected());
}

} // namespace
