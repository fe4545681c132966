#include "hostlink.h"

#include "protocol.h"
#include "support/eventloop.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

HostLink::~HostLink()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool HostLink::open()
{
    // Without udev there is no by-name link: the port's name is in sysfs.
    const QString ports = QStringLiteral("/sys/class/virtio-ports");
    for (const QString &port : QDir(ports).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(ports + QLatin1Char('/') + port + QStringLiteral("/name"));
        if (!name.open(QIODevice::ReadOnly) ||
            name.readAll().trimmed() != DriversProtocol::channelName)
            continue;
        m_fd = ::open(QFile::encodeName(QStringLiteral("/dev/") + port).constData(),
                      O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return m_fd >= 0;
    }
    return false;
}

QByteArray HostLink::request(const QByteArray &line, int timeoutMs)
{
    const QByteArray out = line + '\n';
    for (qsizetype done = 0; done < out.size();) {
        const ssize_t n = ::write(m_fd, out.constData() + done, size_t(out.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return {};
        else {
            pollfd writable{m_fd, POLLOUT, 0};
            ::poll(&writable, 1, 10);
        }
    }
    const bool answered = waitUntil(
        [this] {
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                m_received.append(buffer, n);
            return m_received.contains('\n');
        },
        timeoutMs);
    if (!answered)
        return {};
    const qsizetype end = m_received.indexOf('\n');
    const QByteArray answer = m_received.left(end);
    m_received.remove(0, end + 1);
    return answer;
}
