#include "capture/ttymodes_linux.h"

#include <asm/termbits.h> // termios2: the speed as a number
#include <sys/ioctl.h>

#include <limits>

namespace {

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

} // namespace

// The speed comes as a number from termios2, so custom rates (250000, 74880,
// 31250...) are kept exactly. Software flow control is never taken: the
// kernel would then send XON and XOFF, and this program sends nothing.
std::optional<LineSettings> TtyModes::read(int descriptor)
{
    termios2 tio{};
    if (::ioctl(descriptor, TCGETS2, &tio) != 0)
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

bool TtyModes::makeRaw(int descriptor)
{
    termios2 tio{};
    if (::ioctl(descriptor, TCGETS2, &tio) != 0)
        return false;
    tio.c_iflag &= ~tcflag_t(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    return ::ioctl(descriptor, TCSETS2, &tio) == 0;
}

// Qt's port always turns CLOCAL on; the device's own choice is put back.
// The input is taken as the device sent it: a break is an event, not a byte
// 0 in the data (IGNBRK), and a byte with a parity or framing error is kept
// as it came, neither dropped, replaced by 0 nor marked (INPCK, IGNPAR,
// PARMRK off). The driver counts breaks and errors whatever these flags say.
bool TtyModes::applyForReading(int descriptor, bool watchCarrier)
{
    termios2 tio{};
    if (::ioctl(descriptor, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag = watchCarrier ? tio.c_cflag & ~tcflag_t(CLOCAL) : tio.c_cflag | CLOCAL;
    tio.c_iflag = (tio.c_iflag | IGNBRK) & ~tcflag_t(BRKINT | INPCK | IGNPAR | PARMRK | ISTRIP);
    return ::ioctl(descriptor, TCSETS2, &tio) == 0;
}

bool TtyModes::carrierIsDown(int descriptor)
{
    int bits = 0;
    return ::ioctl(descriptor, TIOCMGET, &bits) == 0 && !(bits & TIOCM_CAR);
}
