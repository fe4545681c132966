// Line states and line errors through the real ioctl path: the preloaded
// library makes pseudo-terminals answer TIOCMGET and TIOCGICOUNT from a
// state the test sets, and the real window shows what the driver reports.
#include "app/frmtarnel.h"
#include "capture/serialport.h"
#include "support/eventloop.h"
#include "support/fakeserialstate.h"
#include "support/preload.h"
#include "support/ptywindowtest.h"
#include "support/testplatform.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

class LineStatesTest : public PtyWindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.isActive()) << "the line-state library is not preloaded";
        PtyWindowTest::SetUp();
    }

    // Whether any timer of the port runs (connected, only the poll can).
    bool portTimerRuns() const
    {
        const auto timers = window.comm->findChildren<QTimer *>();
        return std::any_of(timers.begin(), timers.end(), [](QTimer *t) { return t->isActive(); });
    }

    FakeSerialState fake;
};

TEST_F(LineStatesTest, EveryChangeTheDriverReportsIsShown)
{
    int modemBits = 0;
    using Change = std::function<void()>;
    auto counter = [this](FakeSerial::Counter c) -> Change { return [this, c] { fake.count(c); }; };
    auto toggle = [&](int bit) -> Change {
        return [&, bit] { fake.setModemBits(modemBits ^= bit); };
    };
    struct Case
    {
        FakeSerial::Mode mode;
        QList<std::pair<Change, QString>> changes;
    };
    const QList<Case> cases{
        {FakeSerial::Counters,
         {{counter(FakeSerial::Cts), "Change in CTS Detected"},
          {counter(FakeSerial::Dsr), "Change in DSR Detected"},
          {counter(FakeSerial::Dcd), "Change in CD Detected"},
          {counter(FakeSerial::Rng), "The Phone is Ringing"},
          {counter(FakeSerial::Brk), "Break Received"},
          {counter(FakeSerial::Frame), "Framing Error"},
          {counter(FakeSerial::Overrun), "Overrun Error"},
          {counter(FakeSerial::Parity), "Parity Error"},
          {counter(FakeSerial::BufOverrun), "Receive Buffer Overflow"}}},
        // Adapters without counters (PL2303, CH341): the modem lines alone.
        {FakeSerial::ModemLines,
         {{toggle(TIOCM_CTS), "Change in CTS Detected"},
          {toggle(TIOCM_DSR), "Change in DSR Detected"},
          {toggle(TIOCM_CAR), "Change in CD Detected"},
          {toggle(TIOCM_RNG), "The Phone is Ringing"},
          {toggle(TIOCM_CTS), "Change in CTS Detected"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.mode));
        fake.setMode(c.mode);
        fake.count(FakeSerial::Frame); // before Start: never reported
        start();
        for (const auto &[change, text] : c.changes) {
            window.clearStatus();
            change();
            EXPECT_TRUE(waitUntil([&] { return window.Label1->text() == text; }))
                << text.toStdString() << ", shown: " << window.Label1->text().toStdString();
            EXPECT_TRUE(window.Timer1->isActive());
        }
        window.cmdStart->click();
    }
}

TEST_F(LineStatesTest, ThePollRunsOnlyWhenTheDriverAnswers)
{
    for (FakeSerial::Mode mode : {FakeSerial::None, FakeSerial::ModemLines, FakeSerial::Counters}) {
        SCOPED_TRACE(int(mode));
        fake.setMode(mode);
        start();
        const unsigned atStart = fake.calls();
        EXPECT_GE(atStart, 1u); // asked once at Start
        EXPECT_EQ(portTimerRuns(), mode != FakeSerial::None);
        if (mode == FakeSerial::None) {
            runEventLoop(600); // six poll intervals
            EXPECT_EQ(fake.calls(), atStart);
        } else {
            EXPECT_TRUE(waitUntil([&] { return fake.calls() >= atStart + 3; }));
        }
        window.cmdStart->click();
        const unsigned afterStop = fake.calls();
        runEventLoop(300);
        EXPECT_EQ(fake.calls(), afterStop) << "the poll outlived Stop";
        EXPECT_FALSE(portTimerRuns());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    chooseTestPlatform();
    ensureFakeSerialPreloaded(argv);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
