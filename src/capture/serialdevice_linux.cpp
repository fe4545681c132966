// Linux: ttys through Qt SerialPort, line settings and line states through
// the tty ioctls.
#include "capture/serialdevice.h"

#include "capture/lineeventdetector.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <asm/termbits.h> // termios2: the speed as a number
#include <fcntl.h>
#include <linux/serial.h>
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
    return settings;
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
    QSerialPort port;
    QTimer pollTimer;
    LineSettings settings;
    std::unique_ptr<LineStateSource> stateSource;
    LineEventDetector lineEvents;
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

SerialDevice::SerialDevice(QObject *parent) : QObject(parent), m_native(std::make_unique<Native>())
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
            QSerialPort &port = m_native->port;
            // Anything else is reported endlessly by a device that is gone.
            if ((error != QSerialPort::ReadError && error != QSerialPort::ResourceError) ||
                !port.isOpen())
                return;
            if (port.bytesAvailable() > 0) // what arrived before the loss still gets logged
                emit received();
            close();
            port.clearError();
            emit lost();
        },
        Qt::QueuedConnection);
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
    m_native->stateSource = std::make_unique<IoctlLineStateSource>(int(port.handle()));
    if (m_native->lineEvents.start(m_native->stateSource.get()))
        m_native->pollTimer.start();
    return true;
}

void SerialDevice::close()
{
    m_native->pollTimer.stop();
    m_native->lineEvents.stop();
    m_native->stateSource.reset();
    if (m_native->port.isOpen())
        m_native->port.close();
}

bool SerialDevice::isOpen() const
{
    return m_native->port.isOpen();
}

QByteArray SerialDevice::readAll()
{
    return m_native->port.isOpen() ? m_native->port.readAll() : QByteArray();
}
