#include "capture/platform.h"

#include <QFileInfo>

#include <array>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace Platform {
namespace {

constexpr std::array<std::pair<speed_t, qint32>, 30> speeds{{
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
}};

qint32 baudRateOf(const termios &tio)
{
    const speed_t speed = cfgetispeed(&tio);
    for (const auto &[code, rate] : speeds) {
        if (code == speed)
            return rate;
    }
    return 9600; // B0 (hang up) or a speed the table lacks
}

QSerialPort::DataBits dataBitsOf(const termios &tio)
{
    switch (tio.c_cflag & CSIZE) {
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

QSerialPort::Parity parityOf(const termios &tio)
{
    if (!(tio.c_cflag & PARENB))
        return QSerialPort::NoParity;
    const bool odd = tio.c_cflag & PARODD;
#ifdef CMSPAR
    if (tio.c_cflag & CMSPAR)
        return odd ? QSerialPort::MarkParity : QSerialPort::SpaceParity;
#endif
    return odd ? QSerialPort::OddParity : QSerialPort::EvenParity;
}

class IoctlLineStateSource : public LineStateSource
{
public:
    explicit IoctlLineStateSource(int descriptor) : m_descriptor(descriptor) {}

    std::optional<LineCounters> readCounters() override
    {
#ifdef TIOCGICOUNT
        serial_icounter_struct c{};
        if (::ioctl(m_descriptor, TIOCGICOUNT, &c) == 0)
            return LineCounters{c.cts,   c.dsr,     c.dcd,         c.rng,   c.brk,
                                c.frame, c.overrun, c.buf_overrun, c.parity};
#endif
        return std::nullopt;
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

QString devicePathForPort(int portNumber, const QString &programDir)
{
    if (portNumber < 1)
        return {};
    // A dangling link still names the operator's device: never fall back then.
    const QFileInfo link(programDir + QStringLiteral("/com%1").arg(portNumber));
    if (link.exists() || link.isSymLink())
        return link.filePath();
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

std::optional<LineSettings> readLineSettings(const QString &devicePath)
{
    const int fd = ::open(QFile::encodeName(devicePath).constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    termios tio{};
    const bool ok = ::tcgetattr(fd, &tio) == 0;
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return LineSettings{baudRateOf(tio), dataBitsOf(tio), parityOf(tio),
                        (tio.c_cflag & CSTOPB) ? QSerialPort::TwoStop : QSerialPort::OneStop};
}

std::unique_ptr<LineStateSource> lineStateSource(int descriptor)
{
    return std::make_unique<IoctlLineStateSource>(descriptor);
}

} // namespace Platform
