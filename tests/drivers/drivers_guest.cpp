// Inside the emulated machine: the real window against real drivers, a 16550
// (8250 driver) on ttyS1 and ttyS2 and an FTDI USB adapter (ftdi_sio) on
// ttyUSB0, whose other ends the host plays on request (protocol.h).
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "hostlink.h"
#include "protocol.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"
#include "support/ptydevice.h"
#include "support/testplatform.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

HostLink *host = nullptr;

namespace {

// Bytes the terminals handed to this process since the test began.
qint64 ttyBytesRead = 0;

const QString ttyS1 = QStringLiteral("/dev/ttyS1");
const QString ttyS2 = QStringLiteral("/dev/ttyS2");
const QString ttyUSB0 = QStringLiteral("/dev/ttyUSB0");
// The window's port numbers for them, by links in its folder.
constexpr int modemPort = 2;
constexpr int telnetPort = 3;
constexpr int adapterPort = 4;

constexpr int Car = TIOCM_CAR, Dsr = TIOCM_DSR, Cts = TIOCM_CTS, Rng = TIOCM_RNG;

double cpuMilliseconds()
{
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
}

// A second descriptor on a device, beside the window's: root may open it
// although the port is exclusive.
class DeviceProbe
{
public:
    explicit DeviceProbe(const QString &path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK))
    {
    }
    ~DeviceProbe()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    std::optional<termios2> settings() const
    {
        termios2 tio{};
        if (m_fd < 0 || ::ioctl(m_fd, TCGETS2, &tio) != 0)
            return std::nullopt;
        return tio;
    }
    // A speed as a number, as stty cannot give custom ones everywhere.
    bool setSpeed(unsigned speed)
    {
        termios2 tio{};
        if (m_fd < 0 || ::ioctl(m_fd, TCGETS2, &tio) != 0)
            return false;
        tio.c_cflag = (tio.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER;
        tio.c_ispeed = tio.c_ospeed = speed;
        return ::ioctl(m_fd, TCSETS2, &tio) == 0;
    }

private:
    int m_fd;
};

// Whether a descriptor in this process names the device: the window's port,
// when the test holds none on it.
bool isOpenHere(const QString &device)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList names = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(names.begin(), names.end(), [&](const QString &name) {
        return QFile::symLinkTarget(fds.filePath(name)) == device;
    });
}

bool stty(const QString &device, const QStringList &settings)
{
    return QProcess::execute(QStringLiteral("stty"), QStringList{"-F", device} + settings) == 0;
}

// Random device lines: any bytes but CR and LF, each line ended by CR LF.
QByteArray randomLines(quint32 variant, qsizetype size, bool anyByte)
{
    QRandomGenerator random(variant);
    QByteArray data;
    data.reserve(size);
    while (data.size() < size - 2) {
        const qsizetype length = qMin<qsizetype>(random.bounded(200), size - 2 - data.size());
        for (qsizetype i = 0; i < length; ++i) {
            char c = char(random.bounded(anyByte ? 256 : 95) + (anyByte ? 0 : 32));
            if (!anyByte || (c != '\r' && c != '\n'))
                data.append(c);
        }
        data.append("\r\n");
    }
    return data;
}

// Every text the status line shows, also those shown only for a moment.
class StatusRecorder
{
public:
    explicit StatusRecorder(QLabel *statusLine) : m_statusLine(statusLine)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { record(); });
        m_timer.start(5);
    }
    bool saw(const QString &text, int timeoutMs = 5000)
    {
        return waitUntil([&] { return record(), m_seen.contains(text); }, timeoutMs);
    }
    void clear() { m_seen.clear(); }
    const QStringList &seen() const { return m_seen; }

private:
    void record()
    {
        const QString text = m_statusLine->text();
        if (m_seen.isEmpty() || m_seen.last() != text)
            m_seen.append(text);
    }

    QLabel *m_statusLine;
    QTimer m_timer;
    QStringList m_seen;
};

class DriversTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host) << "no request channel to the host";
        ttyBytesRead = 0;
        ASSERT_TRUE(dir.isValid());
        for (const auto &[port, device] :
             {std::pair{modemPort, ttyS1}, {telnetPort, ttyS2}, {adapterPort, ttyUSB0}})
            ASSERT_TRUE(QFile::link(device, dir.filePath(QStringLiteral("com%1").arg(port))));
        window.txtFile->setText(logPath);
        window.txtDelim->setText(QStringLiteral(",")); // commas stay: the log is byte-exact
    }

    void TearDown() override
    {
        if (window.cmdStart->text() == QLatin1String("Stop"))
            window.cmdStart->click();
    }

    void start(int port)
    {
        window.txtPort->setText(QString::number(port));
        MessageBoxWatcher boxes;
        window.cmdStart->click();
        ASSERT_EQ(boxes.texts(), QStringList());
        ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    }

    QByteArray request(const QByteArray &line)
    {
        const QByteArray answer = host->request(line);
        EXPECT_TRUE(answer.startsWith("ok")) << line.constData() << ": " << answer.constData();
        return answer;
    }

    // The host writes the bytes to the device; answers when the machine has them.
    QByteArray send(const char *device, const QByteArray &data, const QByteArray &options = {})
    {
        static int files = 0;
        const QString file = QDir::current().filePath(QStringLiteral("send-%1").arg(++files));
        EXPECT_TRUE(writeFile(file, data));
        QByteArray line = "send " + QByteArray(device) + ' ' + QFile::encodeName(file);
        if (!options.isEmpty())
            line += ' ' + options;
        return request(line);
    }

    void setModemLines(int bits) { request("modem " + QByteArray::number(bits)); }

    QByteArray log() const { return readFile(logPath); }
    bool logEquals(const QByteArray &expected, int timeoutMs = 20000) const
    {
        return waitUntil([&] { return log() == expected; }, timeoutMs);
    }

    // CPU time this process uses while its event loop has nothing to do but
    // what the window's timers and the recorder bring, as a share of the time.
    double idleCpuShare(int ms)
    {
        const double before = cpuMilliseconds();
        QEventLoop idle;
        QTimer::singleShot(ms, &idle, &QEventLoop::quit);
        idle.exec();
        return (cpuMilliseconds() - before) / ms;
    }

    void waitForAdapter()
    {
        ASSERT_TRUE(waitUntil([] { return QFile::exists(ttyUSB0); }, 10000)) << "no /dev/ttyUSB0";
    }

    QTemporaryDir dir;
    QString logPath = dir.filePath(QStringLiteral("log.csv"));
    FrmTarnel window{dir.path()};
    StatusRecorder recorder{window.Label1};
};

TEST_F(DriversTest, UartAt115200EvenParityLogsRandomBytesExactlyAndKeepsItsSettings)
{
    ASSERT_TRUE(
        stty(ttyS1, {"115200", "cs8", "parenb", "-parodd", "-cstopb", "clocal", "-crtscts"}));
    start(modemPort);
    const auto settings = DeviceProbe(ttyS1).settings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->c_ispeed, 115200u);
    EXPECT_EQ(settings->c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), CS8 | PARENB);

    const QByteArray data = randomLines(1, 100 * 1000, true);
    send(DriversProtocol::modem, data);
    EXPECT_TRUE(logEquals(data)) << "first difference at " <<
        [&] {
            const QByteArray got = log();
            qsizetype i = 0;
            while (i < got.size() && i < data.size() && got[i] == data[i])
                ++i;
            return i;
        }() << " of " << data.size()
                                 << ", logged " << log().size();
}

TEST_F(DriversTest, UartModemLineChangesAreShownFromTheDriversCounters)
{
    setModemLines(0);
    // With RTS/CTS the 8250 driver takes modem status interrupts and counts them.
    ASSERT_TRUE(stty(ttyS1, {"115200", "clocal", "crtscts"}));
    start(modemPort);
    int lines = 0;
    const QList<std::pair<int, QString>> changes{
        {Cts, QStringLiteral("Change in CTS Detected")},
        {Dsr, QStringLiteral("Change in DSR Detected")},
        {Car, QStringLiteral("Change in CD Detected")},
        {Cts, QStringLiteral("Change in CTS Detected")},
        {Car, QStringLiteral("Change in CD Detected")},
    };
    for (const auto &[line, text] : changes) {
        window.clearStatus();
        recorder.clear();
        setModemLines(lines ^= line);
        EXPECT_TRUE(recorder.saw(text)) << text.toStdString();
    }
    // A 16550 counts a ring on its trailing edge only.
    const QString ringing = QStringLiteral("The Phone is Ringing");
    window.clearStatus();
    recorder.clear();
    setModemLines(lines | Rng);
    EXPECT_FALSE(recorder.saw(ringing, 700)) << "shown on the leading edge";
    setModemLines(lines);
    EXPECT_TRUE(recorder.saw(ringing));
}

TEST_F(DriversTest, UartBreakIsShownAndLogsNoByte)
{
    ASSERT_TRUE(stty(ttyS2, {"9600", "clocal", "-crtscts"}));
    start(telnetPort);
    const QByteArray before = "a,\xff,b\r\npre,\xff";
    const QByteArray after("\0post\r\n", 7); // a byte 0 the device sent
    send(DriversProtocol::telnet, before);
    // QEMU passes a break on ahead of bytes it holds: these are read first.
    ASSERT_TRUE(waitUntil([&] { return ttyBytesRead == before.size(); }));
    request("break");
    EXPECT_TRUE(recorder.saw(QStringLiteral("Break Received")));
    send(DriversProtocol::telnet, after);
    EXPECT_TRUE(logEquals(before + after));
}

TEST_F(DriversTest, UartDtrStaysUpAcrossStart)
{
    // With HUPCL a last close lowers DTR, which resets many boards.
    ASSERT_TRUE(stty(ttyS1, {"115200", "clocal", "-crtscts", "hupcl"}));
    const QByteArrayList before = request("control").split(' '); // ok <bits> <drops>
    ASSERT_EQ(before.size(), 3);
    EXPECT_FALSE(before[1].toInt() & TIOCM_DTR);
    start(modemPort);
    const QByteArrayList after = request("control").split(' ');
    ASSERT_EQ(after.size(), 3);
    EXPECT_EQ(after[1].toInt(), TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(after[2], before[2]) << "DTR dropped at Start";
}

TEST_F(DriversTest, UartCarrierLossHangsUpAndThePortIsReopened)
{
    setModemLines(Car | Dsr | Cts);
    ASSERT_TRUE(stty(ttyS1, {"115200", "-clocal", "-crtscts"}));
    start(modemPort);
    send(DriversProtocol::modem, "before\r\n");
    ASSERT_TRUE(logEquals("before\r\n"));

    const QString cdChange = QStringLiteral("Change in CD Detected");
    const QString reconnected = EventMessages::deviceReconnected();
    recorder.clear();
    setModemLines(Dsr | Cts); // carrier lost: the driver hangs the terminal up
    EXPECT_TRUE(recorder.saw(EventMessages::deviceDisconnected()));
    EXPECT_LT(idleCpuShare(1000), 0.3) << "spinning on the hung-up terminal";
    // Reopened, but with the carrier down the device is not back.
    EXPECT_TRUE(waitUntil([] { return isOpenHere(ttyS1); })) << "not reopened";
    EXPECT_FALSE(recorder.saw(reconnected, 1500)) << "said with the carrier down";
    // The driver counted the loss before the hang-up: shown once, mostly
    // after the reopening.
    EXPECT_TRUE(recorder.saw(cdChange));
    EXPECT_EQ(recorder.seen().count(cdChange), 1) << recorder.seen().join(" | ").toStdString();
    const auto settings = DeviceProbe(ttyS1).settings();
    ASSERT_TRUE(settings);
    EXPECT_FALSE(settings->c_cflag & CLOCAL) << "the carrier is no longer watched";

    recorder.clear();
    setModemLines(Car | Dsr | Cts);
    EXPECT_TRUE(recorder.saw(reconnected));
    EXPECT_TRUE(recorder.saw(cdChange));
    send(DriversProtocol::modem, "after\r\n");
    EXPECT_TRUE(logEquals("before\r\nafter\r\n"));
    EXPECT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
}

TEST_F(DriversTest, UnpluggedAdapterIsReopenedWithTheSettingsOfStart)
{
    waitForAdapter();
    ASSERT_TRUE(stty(ttyUSB0, {"cs8", "-parenb", "clocal", "-crtscts"}));
    ASSERT_TRUE(DeviceProbe(ttyUSB0).setSpeed(250000));
    start(adapterPort);
    EXPECT_EQ(DeviceProbe(ttyUSB0).settings().value_or(termios2{}).c_ispeed, 250000u);
    const QByteArray sent = "one\r\ntwo\r\nPARTIAL,no line end,0123456789";
    send(DriversProtocol::ftdi, sent);
    ASSERT_TRUE(waitUntil([&] { return ttyBytesRead == sent.size(); }));

    request("unplug");
    EXPECT_TRUE(recorder.saw(EventMessages::deviceDisconnected()));
    // The cut line is logged as a line of its own, kept from the next device's.
    EXPECT_TRUE(logEquals(sent + "\r\n"));
    EXPECT_FALSE(QFile::exists(ttyUSB0));
    const double cpu = idleCpuShare(2000);
    std::printf("CPU while the adapter is away: %.1f %%\n", cpu * 100);
    EXPECT_LT(cpu, 0.3) << "a busy loop while the adapter is away";

    request("plug");
    EXPECT_TRUE(recorder.saw(EventMessages::deviceReconnected(), 8000));
    // Plugged back it has the driver's defaults; the window set its own.
    EXPECT_EQ(DeviceProbe(ttyUSB0).settings().value_or(termios2{}).c_ispeed, 250000u);
    send(DriversProtocol::ftdi, "R0000,next\r\n");
    EXPECT_TRUE(logEquals(sent + "\r\nR0000,next\r\n"));
}

TEST_F(DriversTest, UnplugWhileLoggingFastLogsAllTheDriverHandedOver)
{
    waitForAdapter();
    ASSERT_TRUE(stty(ttyUSB0, {"clocal", "-crtscts"}));
    ASSERT_TRUE(DeviceProbe(ttyUSB0).setSpeed(250000));
    start(adapterPort);
    const QByteArray data = randomLines(6, 1024 * 1024, false);
    const QByteArray answer = send(DriversProtocol::ftdi, data, "unplug-after 600000");
    EXPECT_TRUE(recorder.saw(EventMessages::deviceDisconnected()));
    // What the kernel held unread when the adapter went is flushed by the
    // hang-up; every byte it handed over is logged, the cut line ended.
    QByteArray handedOver = data.left(ttyBytesRead);
    if (!handedOver.endsWith("\r\n"))
        handedOver += "\r\n";
    const QByteArray logged = log();
    std::printf("adapter took %s, the port read %lld, logged %lld\n", answer.constData() + 3,
                ttyBytesRead, qint64(logged.size()));
    EXPECT_TRUE(logged == handedOver) << "logged " << logged.size() << " of " << handedOver.size();

    request("plug");
    ASSERT_TRUE(recorder.saw(EventMessages::deviceReconnected(), 8000));
    send(DriversProtocol::ftdi, "end\r\n");
    EXPECT_TRUE(logEquals(handedOver + "end\r\n"));
}

} // namespace

// Every read in this process comes here, Qt's included.
extern "C" ssize_t read(int fd, void *buffer, size_t size)
{
    // Asked before: a terminal hung up during the read no longer says it is one.
    const bool tty = ::isatty(fd);
    const ssize_t n = ::syscall(SYS_read, fd, buffer, size);
    const int error = errno;
    if (n > 0 && tty)
        ttyBytesRead += n;
    errno = error;
    return n;
}

int main(int argc, char *argv[])
{
    chooseTestPlatform();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    HostLink link;
    if (!link.open()) {
        std::fprintf(stderr, "no request channel %s to the host\n", DriversProtocol::channelName);
        return 1;
    }
    host = &link;
    return RUN_ALL_TESTS();
}
