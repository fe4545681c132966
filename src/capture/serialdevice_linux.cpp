// Linux: ttys through Qt SerialPort, line settings and line states through
// the tty ioctls.
#include "capture/serialdevice.h"

#include "capture/lineeventdetector.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <asm/termbits.h> // termios2: the speed as a number
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int pollIntervalMs = 100;

struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    QSerialPort::FlowControl flowControl = QSerialPort::NoFlowControl;
    // CLOCAL off: the driver watches the carrier (DCD) and hangs the terminal
    // up when it drops.
    bool watchCarrier = false;
};

QSerialPort::DataBits dataBitsOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return QSerialPort::Data5;
    case CS6:
        return QSerialPort::Data6;
    case CS7:
        return QSerialPort::Data7;
    default:
        return QSerialPort::Data8;
    }
}

QSerialPort::Parity parityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return QSerialPort::NoParity;
    const bool odd = cflag & PARODD;
    if (cflag & CMSPAR)
        return odd ? QSerialPort::MarkParity : QSerialPort::SpaceParity;
    return odd ? QSerialPort::OddParity : QSerialPort::EvenParity;
}

// The settings the device has now. The speed comes as a number from
// termios2, so custom rates (250000, 74880, 31250...) are kept exactly.
// Software flow control is never taken: the kernel would then send XON and
// XOFF, and this program sends nothing.
std::optional<LineSettings> readLineSettings(const QString &devicePath)
{
    const int fd = ::open(QFile::encodeName(devicePath).constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    termios2 tio{};
    const bool ok = ::ioctl(fd, TCGETS2, &tio) == 0;
    ::close(fd);
    if (!ok)
        return std::nullopt;
    LineSettings settings;
    const speed_t speed = tio.c_ispeed ? tio.c_ispeed : tio.c_ospeed;
    if (speed > 0 && speed <= speed_t(std::numeric_limits<qint32>::max()))
        settings.baudRate = qint32(speed); // 0 (hang up) keeps 9600
    settings.dataBits = dataBitsOf(tio.c_cflag);
    settings.parity = parityOf(tio.c_cflag);
    settings.stopBits = (tio.c_cflag & CSTOPB) ? QSerialPort::TwoStop : QSerialPort::OneStop;
    if (tio.c_cflag & CRTSCTS)
        settings.flowControl = QSerialPort::HardwareControl;
    settings.watchCarrier = !(tio.c_cflag & CLOCAL);
    return settings;
}

// Qt's port always turns CLOCAL on; the device's own choice is put back.
bool setCarrierWatch(int descriptor, bool watch)
{
    termios2 tio{};
    if (::ioctl(descriptor, TCGETS2, &tio) != 0)
        return false;
    const tcflag_t cflag = watch ? tio.c_cflag & ~tcflag_t(CLOCAL) : tio.c_cflag | CLOCAL;
    if (cflag == tio.c_cflag)
        return true;
    tio.c_cflag = cflag;
    return ::ioctl(descriptor, TCSETS2, &tio) == 0;
}

// A terminal that was hung up (carrier lost with CLOCAL off) or whose device
// went away (USB adapter unplugged) reads as end of file for good; so does a
// pseudo-terminal whose other side closed, once its last bytes are read.
bool isHungUp(int descriptor)
{
    pollfd state{descriptor, POLLIN, 0};
    if (::poll(&state, 1, 0) != 1 || !(state.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return false;
    int unread = 0;
    return ::ioctl(descriptor, FIONREAD, &unread) != 0 || unread == 0;
}

class IoctlLineStateSource : public LineStateSource
{
public:
    explicit IoctlLineStateSource(int descriptor) : m_descriptor(descriptor) {}

    std::optional<LineCounters> readCounters() override
    {
        serial_icounter_struct c{};
        if (::ioctl(m_descriptor, TIOCGICOUNT, &c) != 0)
            return std::nullopt;
        return LineCounters{c.cts,   c.dsr,     c.dcd,         c.rng,   c.brk,
                            c.frame, c.overrun, c.buf_overrun, c.parity};
    }

    std::optional<int> readModemLines() override
    {
        int bits = 0;
        if (::ioctl(m_descriptor, TIOCMGET, &bits) != 0)
            return std::nullopt;
        return ((bits & TIOCM_CTS) ? ModemLine::Cts : 0) |
               ((bits & TIOCM_DSR) ? ModemLine::Dsr : 0) |
               ((bits & TIOCM_CAR) ? ModemLine::Cd : 0) |
               ((bits & TIOCM_RNG) ? ModemLine::Ring : 0);
    }

private:
    int m_descriptor;
};

} // namespace

struct SerialDevice::Native
{
    explicit Native(SerialDevice &owner) : device(owner) {}
    ~Native() { close(); }
    void lose();
    void watchForHangUp(int descriptor);
    void close();

    SerialDevice &device;
    QSerialPort port;
    QTimer pollTimer;
    LineSettings settings;
    std::unique_ptr<LineStateSource> stateSource;
    LineEventDetector lineEvents;
    // Qt's port may take end of file for "nothing yet" and keep reading a
    // dead terminal: a second descriptor on it tells a hang-up apart.
    int hangUpDescriptor = -1;
    QSocketNotifier *hangUpWatch = nullptr;
};

QString SerialDevice::pathForPort(int portNumber, const QString &portDir)
{
    if (portNumber < 1)
        return {};
    // A dangling link still names the operator's device: never fall back then.
    const QFileInfo link(portDir + QStringLiteral("/com%1").arg(portNumber));
    if (link.exists() || link.isSymLink())
        return link.filePath();
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

SerialDevice::SerialDevice(QObject *parent)
    : QObject(parent), m_native(std::make_unique<Native>(*this))
{
    m_native->pollTimer.setParent(this); // so that it can be found as the port's
    m_native->pollTimer.setInterval(pollIntervalMs);
    connect(&m_native->port, &QSerialPort::readyRead, this, &SerialDevice::received);
    connect(&m_native->pollTimer, &QTimer::timeout, this, [this] {
        for (int code : m_native->lineEvents.poll())
            emit lineEvent(code);
    });
    // Queued: the port raises its error from inside its own read notifier,
    // which must not be closed under it.
    connect(
        &m_native->port, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) {
            // Anything else is reported endlessly by a device that is gone.
            if (error == QSerialPort::ReadError || error == QSerialPort::ResourceError)
                m_native->lose();
        },
        Qt::QueuedConnection);
}

void SerialDevice::Native::lose()
{
    if (!port.isOpen())
        return;                    // already reported
    if (port.bytesAvailable() > 0) // what arrived before the loss still gets logged
        emit device.received();
    close();
    port.clearError();
    emit device.lost();
}

void SerialDevice::Native::watchForHangUp(int descriptor)
{
    hangUpDescriptor = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (hangUpDescriptor < 0)
        return; // Qt's own error reports still apply
    hangUpWatch = new QSocketNotifier(hangUpDescriptor, QSocketNotifier::Read, &device);
    // Also woken by every arrival, which Qt's port reads; a hang-up stays.
    QObject::connect(hangUpWatch, &QSocketNotifier::activated, &device, [this] {
        if (isHungUp(hangUpDescriptor))
            lose();
    });
}

void SerialDevice::Native::close()
{
    pollTimer.stop();
    lineEvents.stop();
    stateSource.reset();
    if (hangUpWatch) {
        hangUpWatch->setEnabled(false);
        hangUpWatch->deleteLater(); // this may run inside its own signal
        hangUpWatch = nullptr;
    }
    if (hangUpDescriptor >= 0)
        ::close(hangUpDescriptor);
    hangUpDescriptor = -1;
    if (port.isOpen())
        port.close();
}

SerialDevice::~SerialDevice() = default;

bool SerialDevice::open(const QString &path, Settings settings)
{
    close();
    // The real device, so that two links to one device share one lock.
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return false;
    if (settings == Settings::Capture) {
        const auto current = readLineSettings(device);
        if (!current)
            return false;
        m_native->settings = *current;
    }
    QSerialPort &port = m_native->port;
    const LineSettings &s = m_native->settings;
    port.setPortName(device);
    port.setBaudRate(s.baudRate);
    port.setDataBits(s.dataBits);
    port.setParity(s.parity);
    port.setStopBits(s.stopBits);
    port.setFlowControl(s.flowControl);
    if (!port.open(QIODevice::ReadOnly))
        return false;
    const int descriptor = int(port.handle());
    if (!setCarrierWatch(descriptor, s.watchCarrier)) {
        port.close();
        return false;
    }
    m_native->watchForHangUp(descriptor);
    m_native->stateSource = std::make_unique<IoctlLineStateSource>(descriptor);
    LineEventDetector &events = m_native->lineEvents;
    if (settings == Settings::Reuse ? events.resume(m_native->stateSource.get())
                                    : events.start(m_native->stateSource.get()))
        m_native->pollTimer.start();
    return true;
}

void SerialDevice::close()
{
    m_native->close();
}

bool SerialDevice::isOpen() const
{
    return m_native->port.isOpen();
}

QByteArray SerialDevice::readAll()
{
    return m_native->port.isOpen() ? m_native->port.readAll() : QByteArray();
}
