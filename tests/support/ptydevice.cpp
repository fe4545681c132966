#include "support/ptydevice.h"

#include <QCoreApplication>
#include <QFile>

#include <asm/termbits.h> // termios2: speeds as numbers, as stty sets them
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What cfmakeraw does, at 115200 baud: without it the line discipline
// turns CR into LF on the way in.
void makeRaw(termios2 &tio)
{
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | B115200;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

} // namespace

PtyDevice::~PtyDevice()
{
    closeMaster();
    for (int fd : std::as_const(m_others))
        ::close(fd);
}

bool PtyDevice::open(const QString &programDir, int portNumber, const LineSettings *settings)
{
    closeMaster();
    // An old link may name the number the new terminal gets: it must not
    // lead the reader to it before it is set up.
    m_linkPath = programDir + QStringLiteral("/com%1").arg(portNumber);
    QFile::remove(m_linkPath);
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256] = {};
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0)
        return false;
    // The slave is kept open, to see how much the reader has not taken yet.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios2 tio{};
    if (m_slave < 0 || ::ioctl(m_slave, TCGETS2, &tio) != 0)
        return false;
    makeRaw(tio);
    ::ioctl(m_slave, TCSETS2, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
    // Qt's lock on this number, left by a reader killed in another test: nobody
    // holds the number now, but another user could not remove the lock.
    QFile::remove(QStringLiteral("/var/lock/LCK..") + m_slavePath.mid(5).replace(u'/', u'_'));
    if (settings && !setLineSettings(*settings))
        return false;
    return QFile::link(m_slavePath, m_linkPath);
}

bool PtyDevice::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The reader runs on this thread's event loop: let it drain the queue.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd pfd{m_master, POLLOUT, 0};
        ::poll(&pfd, 1, 1);
    }
    return true;
}

void PtyDevice::closeMaster(bool keepLink)
{
    if (m_master >= 0 && !keepLink && !m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

bool PtyDevice::takeNumber(const QString &slavePath)
{
    for (int tries = 0; tries < 64; ++tries) {
        const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[256] = {};
        if (fd < 0 || ::ptsname_r(fd, name, sizeof name) != 0)
            return false;
        ::unlockpt(fd);
        m_others.append(fd);
        if (slavePath == QString::fromLocal8Bit(name))
            return true;
    }
    return false;
}

int PtyDevice::queued() const
{
    int count = 0;
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &count) != 0)
        return 0;
    return count;
}

void PtyDevice::discardQueued()
{
    if (m_slave >= 0)
        ::ioctl(m_slave, TCFLSH, TCIFLUSH);
}

bool PtyDevice::setLineSettings(const LineSettings &settings)
{
    termios2 tio{};
    if (::ioctl(m_slave, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT) | CRTSCTS)) | BOTHER;
    if (settings.hardwareFlowControl)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF);
    if (settings.softwareFlowControl)
        tio.c_iflag |= IXON | IXOFF;
    tio.c_ispeed = tio.c_ospeed = settings.baudRate;
    return ::ioctl(m_slave, TCSETS2, &tio) == 0;
}

PtyDevice::LineSettings PtyDevice::lineSettings() const
{
    termios2 tio{};
    if (::ioctl(m_slave, TCGETS2, &tio) != 0)
        return {};
    return {tio.c_ispeed, bool(tio.c_cflag & CRTSCTS), bool(tio.c_iflag & (IXON | IXOFF))};
}
