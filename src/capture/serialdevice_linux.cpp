// Linux: ttys through Qt SerialPort, line settings and line states through
// the tty ioctls.
#include "capture/serialdevice.h"

#include "capture/lineeventdetector.h"
#include "capture/ttymodes_linux.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTimer>

#include <asm/termbits.h> // termios2
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int pollIntervalMs = 100;

SerialDevice::OpenResult failureOf(int error)
{
    return error == EACCES || error == EBUSY || error == EPERM || error == ENOTTY
               ? SerialDevice::OpenResult::Refused
               : SerialDevice::OpenResult::Missing;
}

// A pseudo-terminal that has gone never comes back: its number goes to the
// next program that asks for one. A link that still names it is followed
// again only once it has been made anew, by whoever brings a new terminal.
struct LinkIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};

    static std::optional<LinkIdentity> of(const QString &link)
    {
        struct stat st = {};
        if (::lstat(QFile::encodeName(link).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return std::nullopt;
        return LinkIdentity{st.st_dev, st.st_ino, st.st_ctim};
    }
    bool operator==(const LinkIdentity &o) const
    {
        return device == o.device && inode == o.inode && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

bool isPseudoTerminal(const QString &devicePath)
{
    return devicePath.startsWith(QLatin1String("/dev/pts/"));
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
    void close();
    OpenResult open(const QString &link, const QString &devicePath, Settings settings);
    void restoreModes(int descriptor);
    bool isStale(const QString &link) const;
    void markStale(const QString &link, std::optional<LinkIdentity> identity);
    void pollLines();

    SerialDevice &device;
    QSerialPort port;
    QTimer pollTimer;
    LineSettings settings;
    std::unique_ptr<LineStateSource> stateSource;
    LineEventDetector lineEvents;
    bool awaitingCarrier = false;
    termios2 modesBefore{};
    bool hasModesBefore = false;
    QString openedLink;   // the link the open device was reached through
    QString openedDevice; // and the device it named
    // The link as it was when the device was opened through it: by the time
    // a loss is handled, a restarted device may have made it anew already.
    std::optional<LinkIdentity> openedIdentity;
    QString staleLink;
    std::optional<LinkIdentity> staleIdentity;
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
    connect(&m_native->pollTimer, &QTimer::timeout, this, [this] { m_native->pollLines(); });
    // Queued: the port raises its error from inside its own read notifier,
    // which must not be closed under it. A terminal that was hung up (carrier
    // lost with CLOCAL off), whose device went away (adapter unplugged) or
    // whose other side closed (a pseudo-terminal) reads as end of file, which
    // the port reports as a read error. Anything else is reported endlessly
    // by a device that is gone.
    connect(
        &m_native->port, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) {
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
    if (isPseudoTerminal(openedDevice))
        markStale(openedLink, openedIdentity);
    close();
    port.clearError();
    emit device.lost();
}

void SerialDevice::Native::pollLines()
{
    for (int code : lineEvents.poll())
        emit device.lineEvent(code);
    if (awaitingCarrier && !TtyModes::carrierIsDown(int(port.handle()))) {
        awaitingCarrier = false;
        emit device.carrierDetected();
    }
}

void SerialDevice::Native::close()
{
    pollTimer.stop();
    lineEvents.stop();
    stateSource.reset();
    awaitingCarrier = false;
    if (!port.isOpen())
        return;
    // Held across the port's close, so that the device closes only once its
    // own modes are back.
    const int keep = hasModesBefore ? ::fcntl(int(port.handle()), F_DUPFD_CLOEXEC, 0) : -1;
    port.close();
    if (keep >= 0) {
        ::ioctl(keep, TCSETS2, &modesBefore);
        ::close(keep);
    }
    hasModesBefore = false;
}

bool SerialDevice::Native::isStale(const QString &link) const
{
    return !link.isEmpty() && link == staleLink && LinkIdentity::of(link) == staleIdentity;
}

void SerialDevice::Native::markStale(const QString &link, std::optional<LinkIdentity> identity)
{
    staleLink = link;
    staleIdentity = identity;
}

SerialDevice::~SerialDevice() = default;

SerialDevice::OpenResult SerialDevice::open(const QString &path, Settings settings)
{
    close();
    const QFileInfo info(path);
    const QString link = info.isSymLink() ? path : QString();
    if (m_native->isStale(link))
        return OpenResult::Missing;
    // Before the link is followed: a link made anew after this must not be
    // taken for the one the device was opened through.
    const auto identity = link.isEmpty() ? std::nullopt : LinkIdentity::of(link);
    // The real device, so that two links to one device share one lock.
    const QString device = info.canonicalFilePath();
    if (device.isEmpty()) {
        if (isPseudoTerminal(info.symLinkTarget()))
            m_native->markStale(link, identity);
        return OpenResult::Missing;
    }
    const OpenResult result = m_native->open(link, device, settings);
    if (result == OpenResult::Opened || result == OpenResult::AwaitingCarrier)
        m_native->openedIdentity = identity;
    return result;
}

SerialDevice::OpenResult SerialDevice::Native::open(const QString &link, const QString &devicePath,
                                                    Settings settings)
{
    // Held open until the port is: a last close lowers DTR and RTS (HUPCL),
    // which resets many boards.
    const int first = ::open(QFile::encodeName(devicePath).constData(),
                             O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (first < 0)
        return failureOf(errno);
    const auto closeFirst = qScopeGuard([first] { ::close(first); });
    if (settings == Settings::Capture) {
        const auto current = TtyModes::read(first);
        if (!current)
            return failureOf(errno);
        this->settings = *current;
    }
    // The port puts back at close what it finds at open: the device's own
    // modes are kept here, as the raw ones come first.
    hasModesBefore = ::ioctl(first, TCGETS2, &modesBefore) == 0 && TtyModes::makeRaw(first);
    port.setPortName(devicePath);
    port.setBaudRate(this->settings.baudRate);
    port.setDataBits(this->settings.dataBits);
    port.setParity(this->settings.parity);
    port.setStopBits(this->settings.stopBits);
    port.setFlowControl(this->settings.flowControl);
    if (!port.open(QIODevice::ReadOnly)) {
        // Held by another program (Qt's lock): its terminal is as it was.
        restoreModes(first);
        const bool missing = port.error() == QSerialPort::DeviceNotFoundError;
        port.clearError();
        return missing ? OpenResult::Missing : OpenResult::Refused;
    }
    const int descriptor = int(port.handle());
    if (!TtyModes::applyForReading(descriptor, this->settings.watchCarrier)) {
        port.close();
        restoreModes(first);
        return OpenResult::Refused;
    }
    openedLink = link;
    openedDevice = devicePath;
    markStale({}, std::nullopt);
    stateSource = std::make_unique<IoctlLineStateSource>(descriptor);
    if (settings == Settings::Reuse ? lineEvents.resume(stateSource.get())
                                    : lineEvents.start(stateSource.get()))
        pollTimer.start();
    awaitingCarrier = this->settings.watchCarrier && TtyModes::carrierIsDown(descriptor);
    return awaitingCarrier ? OpenResult::AwaitingCarrier : OpenResult::Opened;
}

void SerialDevice::Native::restoreModes(int descriptor)
{
    if (std::exchange(hasModesBefore, false))
        ::ioctl(descriptor, TCSETS2, &modesBefore);
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
