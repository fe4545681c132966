// Line events from the driver's counters, and a device that goes away.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/lineeventdetector.h"
#include "capture/serialport.h"
#include "support/eventloop.h"
#include "support/messageboxwatcher.h"
#include "support/ptydevice.h"
#include "support/ptywindowtest.h"

#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

double cpuMilliseconds()
{
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
}

// Plays back counter and modem line values, one per read.
class ScriptedSource : public LineStateSource
{
public:
    QList<std::optional<LineCounters>> counters;
    QList<std::optional<int>> modemLines;

    std::optional<LineCounters> readCounters() override { return next(counters); }
    std::optional<int> readModemLines() override { return next(modemLines); }

private:
    template <typename T> static std::optional<T> next(QList<std::optional<T>> &script)
    {
        return script.isEmpty() ? std::nullopt : script.takeFirst();
    }
};

TEST(LineEventDetector, EachCounterThatGrewRaisesItsCode)
{
    const LineCounters base{1, 2, 3, 4, 5, 6, 7, 8, 9};
    const QList<std::pair<LineCounters, QList<int>>> cases{
        {base, {}},
        {{2, 2, 3, 4, 5, 6, 7, 8, 9}, {3}},
        {{1, 3, 3, 4, 5, 6, 7, 8, 9}, {4}},
        {{1, 2, 4, 4, 5, 6, 7, 8, 9}, {5}},
        {{1, 2, 3, 5, 5, 6, 7, 8, 9}, {6}},
        {{1, 2, 3, 4, 6, 6, 7, 8, 9}, {1001}},
        {{1, 2, 3, 4, 5, 7, 7, 8, 9}, {1004}},
        {{1, 2, 3, 4, 5, 6, 9, 8, 9}, {1006}}, // grew by two: still one event
        {{1, 2, 3, 4, 5, 6, 7, 9, 9}, {1008}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 10}, {1009}},
        {{1, 2, 3, 4, 5, 6, 7, 8, INT_MIN}, {1009}}, // counted on past INT_MAX
        {{2, 3, 4, 5, 6, 7, 8, 9, 10}, {3, 4, 5, 6, 1001, 1004, 1006, 1008, 1009}},
    };
    for (const auto &[after, codes] : cases) {
        ScriptedSource source;
        source.counters = {base, after, after};
        LineEventDetector detector;
        ASSERT_TRUE(detector.start(&source));
        EXPECT_EQ(detector.poll(), codes);
        EXPECT_EQ(detector.poll(), QList<int>()); // reported once
    }
}

TEST(LineEventDetector, FallsBackToModemLinesThenToNothing)
{
    ScriptedSource lines;
    lines.modemLines = {ModemLine::Cts, ModemLine::Cts, ModemLine::Dsr | ModemLine::Ring,
                        ModemLine::Cd | ModemLine::Dsr | ModemLine::Ring, std::nullopt};
    LineEventDetector detector;
    ASSERT_TRUE(detector.start(&lines));
    EXPECT_EQ(detector.poll(), QList<int>());
    EXPECT_EQ(detector.poll(), (QList<int>{3, 4, 6}));
    EXPECT_EQ(detector.poll(), QList<int>{5});
    EXPECT_EQ(detector.poll(), QList<int>()); // a failed read is no change

    ScriptedSource silent;
    EXPECT_FALSE(detector.start(&silent));
    EXPECT_FALSE(detector.isActive());
    EXPECT_EQ(detector.poll(), QList<int>());
}

TEST(LineEventDetector, ReopenedDeviceReportsWhatItCountedWhileClosed)
{
    const LineCounters before{1, 2, 3, 4, 5, 6, 7, 8, 9};
    const QList<std::pair<LineCounters, QList<int>>> cases{
        {{1, 2, 4, 4, 5, 6, 7, 8, 9}, {5}}, // the carrier loss that hung it up
        {before, {}},
        {{}, {}},                          // a new device: its counts start again
        {{0, 2, 4, 4, 5, 6, 7, 8, 9}, {}}, // one count went back: so did the others
    };
    for (const auto &[reopened, codes] : cases) {
        ScriptedSource first;
        first.counters = {before};
        LineEventDetector detector;
        ASSERT_TRUE(detector.start(&first));
        detector.stop();
        ScriptedSource again;
        again.counters = {reopened, reopened, reopened};
        ASSERT_TRUE(detector.resume(&again));
        EXPECT_EQ(detector.poll(), codes);
        EXPECT_EQ(detector.poll(), QList<int>());
        // A Start begins afresh.
        ScriptedSource fresh;
        fresh.counters = {reopened, reopened};
        ASSERT_TRUE(detector.start(&fresh));
        EXPECT_EQ(detector.poll(), QList<int>());
    }

    ScriptedSource lines;
    lines.modemLines = {ModemLine::Cd | ModemLine::Dsr};
    LineEventDetector detector;
    ASSERT_TRUE(detector.start(&lines));
    detector.stop();
    lines.modemLines = {ModemLine::Dsr, ModemLine::Dsr};
    ASSERT_TRUE(detector.resume(&lines));
    EXPECT_EQ(detector.poll(), QList<int>{5});
}

using DeviceEventsTest = PtyWindowTest;

TEST_F(DeviceEventsTest, AVanishedDeviceIsReopenedWithItsSettingsAndLoggingGoesOn)
{
    // Set as stty would (custom speed, RTS/CTS, XON/XOFF): the port keeps the
    // speed and the handshake, never the software flow control.
    const PtyDevice::LineSettings set{250000, true, true};
    ASSERT_TRUE(device.setLineSettings(set));
    ASSERT_EQ(device.lineSettings().baudRate, 250000u);
    start();
    const PtyDevice::LineSettings opened = device.lineSettings();
    EXPECT_EQ(opened.baudRate, 250000u);
    EXPECT_TRUE(opened.hardwareFlowControl);
    EXPECT_FALSE(opened.softwareFlowControl);
    window.cmdStart->click(); // Stop puts the device's own settings back
    EXPECT_TRUE(device.lineSettings().softwareFlowControl);
    window.cmdStart->click();
    ASSERT_TRUE(device.write("one\r\ntw\r")); // the loss comes between CR and LF
    ASSERT_TRUE(waitUntil([&] { return log() == "one\r\n"; }));

    // Gone, its link left behind: the number goes to another program's
    // terminal, which the port must not take for the device.
    QSignalSpy notifications(window.comm, &SerialPort::notification);
    device.closeMaster(true);
    EXPECT_TRUE(
        waitUntil([&] { return window.Label1->text() == EventMessages::deviceDisconnected(); }));
    PtyDevice other;
    other.takeNumber(device.slavePath());
    EXPECT_TRUE(window.Timer1->isActive());
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));

    // A port that kept reporting the hang-up would spin: nearly a whole core
    // for this while, and a stream of notifications. The loop itself sleeps.
    const double cpuBefore = cpuMilliseconds();
    QEventLoop idle;
    QTimer::singleShot(1500, &idle, &QEventLoop::quit); // a retry falls within
    idle.exec();
    EXPECT_LT(cpuMilliseconds() - cpuBefore, 500.0);
    EXPECT_LT(notifications.count(), 5);
    EXPECT_FALSE(window.comm->isOpen());

    // The device comes back under the same name, as a new pseudo-terminal
    // with its own settings; the port is opened with the ones taken at Start.
    PtyDevice replugged;
    ASSERT_TRUE(replugged.open(dir.path(), 5));
    EXPECT_TRUE(waitUntil(
        [&] { return window.Label1->text() == EventMessages::deviceReconnected(); }, 5000));
    EXPECT_EQ(replugged.lineSettings().baudRate, 250000u);
    EXPECT_TRUE(replugged.lineSettings().hardwareFlowControl);
    // What the old connection left unfinished became a line of its own.
    ASSERT_TRUE(replugged.write("o\r\nthree\r\n"));
    EXPECT_TRUE(waitUntil([&] { return log() == "one\r\ntw\r\no\r\nthree\r\n"; }));

    // Restarted at once, as a simulator or a socat under systemd is: the new
    // terminal is linked before the old one's loss is handled.
    QSignalSpy restored(window.comm, &SerialPort::deviceRestored);
    replugged.closeMaster(true);
    PtyDevice restarted;
    ASSERT_TRUE(restarted.open(dir.path(), 5));
    ASSERT_TRUE(waitUntil([&] { return restored.count() == 1; }, 5000));
    ASSERT_TRUE(restarted.write("four\r\n"));
    EXPECT_TRUE(waitUntil([&] { return log().endsWith("three\r\nfour\r\n"); }, 5000));
}

TEST_F(DeviceEventsTest, StopWhileDisconnectedEndsTheRetries)
{
    window.cmdStart->click();
    device.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return window.comm->isReconnecting(); }));
    window.cmdStart->click();
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Start"));
    EXPECT_FALSE(window.comm->isReconnecting());
    EXPECT_FALSE(window.isLogging());

    PtyDevice replugged;
    ASSERT_TRUE(replugged.open(dir.path(), 5));
    runEventLoop(1300);
    EXPECT_FALSE(window.comm->isOpen());
    EXPECT_NE(window.Label1->text(), EventMessages::deviceReconnected());
}

} // namespace
