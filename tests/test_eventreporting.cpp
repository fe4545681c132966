// Line events from the driver's counters, and a device that goes away.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/lineeventdetector.h"
#include "capture/platform.h"
#include "capture/serialport.h"
#include "support/eventloop.h"
#include "support/messageboxwatcher.h"
#include "support/ptydevice.h"
#include "support/ptywindowtest.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

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

TEST(LineEventDetector, APseudoTerminalHasNeitherCountersNorModemLines)
{
    QTemporaryDir dir;
    PtyDevice device;
    ASSERT_TRUE(device.open(dir.path(), 1));
    QFile slave(device.slavePath());
    ASSERT_TRUE(slave.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    auto source = Platform::lineStateSource(slave.handle());
    EXPECT_FALSE(source->readCounters().has_value());
    EXPECT_FALSE(source->readModemLines().has_value());
    LineEventDetector detector;
    EXPECT_FALSE(detector.start(source.get()));
}

using DeviceEventsTest = PtyWindowTest;

TEST_F(DeviceEventsTest, CountersFromTheDriverReachTheStatusLine)
{
    auto *source = new ScriptedSource;
    LineCounters counters;
    source->counters = {counters};
    counters.frame = 1;
    source->counters.append(counters);
    window.comm->setStateSourceFactory(
        [source](int) { return std::unique_ptr<LineStateSource>(source); });
    window.cmdStart->click();
    ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(
        waitUntil([&] { return window.Label1->text() == QStringLiteral("Framing Error"); }));
    EXPECT_TRUE(window.Timer1->isActive());
}

TEST_F(DeviceEventsTest, AVanishedDeviceIsReopenedAndLoggingGoesOn)
{
    window.cmdStart->click();
    ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    ASSERT_TRUE(device.write("one\r\ntw"));
    ASSERT_TRUE(waitUntil([&] { return log() == "one\r\n"; }));

    QSignalSpy notifications(window.comm, &SerialPort::notification);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    device.closeMaster();
    EXPECT_TRUE(
        waitUntil([&] { return window.Label1->text() == EventMessages::deviceDisconnected(); }));
    EXPECT_TRUE(window.Timer1->isActive());
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    runEventLoop(1000);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage &r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    // The event loop helper itself wakes every millisecond; a spinning port
    // would take the whole second.
    EXPECT_LT(cpuMs(after) - cpuMs(before), 300.0);
    EXPECT_LT(notifications.count(), 5);

    // The device comes back under the same name, as a new pseudo-terminal.
    PtyDevice replugged;
    ASSERT_TRUE(replugged.open(dir.path(), 5));
    EXPECT_TRUE(waitUntil(
        [&] { return window.Label1->text() == EventMessages::deviceReconnected(); }, 2500));
    ASSERT_TRUE(replugged.write("o\r\nthree\r\n"));
    EXPECT_TRUE(waitUntil([&] { return log() == "one\r\ntwo\r\nthree\r\n"; }));
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
