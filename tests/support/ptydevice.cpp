#include "support/ptydevice.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::~PtyDevice()
{
    closeMaster();
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
}

bool PtyDevice::open(const QString &programDir, int portNumber)
{
    closeMaster();
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        return false;
    // Raw, or the line discipline turns CR into LF on the way in.
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);
    m_slave = slave; // kept, to see how much the reader has not taken yet
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
    m_linkPath = programDir + QStringLiteral("/com%1").arg(portNumber);
    QFile::remove(m_linkPath);
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

void PtyDevice::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

int PtyDevice::queued() const
{
    int count = 0;
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &count) != 0)
        return 0;
    return count;
}
