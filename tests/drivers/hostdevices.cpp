#include "hostdevices.h"

#include "emulatedmachine.h"
#include "protocol.h"
#include "support/files.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int transferTimeoutMs = 120000;
// QEMU 7.2's FTDI emulation may stop taking host data once its buffer has
// been full, until its main loop wakes for another reason (seen with some
// 7.2 builds); a monitor command wakes it, cheaply, while a transfer lasts.
constexpr int adapterWakeMs = 20;

QByteArray answer(const QString &error)
{
    return error.isEmpty() ? QByteArray("ok") : "error " + error.toUtf8();
}

} // namespace

HostDevices::HostDevices(const QString &workDir)
{
    m_ready = m_modem.open(workDir, 1) && m_ftdi.open(workDir, 2);
    // QEMU's 16550 asks the host's terminal for modem lines while the guest
    // has modem interrupts on: the preloaded library answers them.
    m_lineState.setMode(FakeSerial::ModemLines);
}

QByteArray HostDevices::handle(const QByteArray &request)
{
    const QByteArrayList words = request.trimmed().split(' ');
    const QByteArray &verb = words.value(0);
    if (verb == "modem" && words.size() == 2) {
        m_lineState.setModemBits(words[1].toInt());
        return "ok";
    }
    if (verb == "control" && words.size() == 1)
        return "ok " + QByteArray::number(m_lineState.controlBits()) + ' ' +
               QByteArray::number(m_lineState.dtrDrops());
    if (verb == "break" && words.size() == 1) {
        discardTelnetInput();
        m_machine->telnet().write("\xff\xf3"); // IAC BRK
        return answer(m_machine->telnet().waitForBytesWritten(5000) ? QString()
                                                                    : QStringLiteral("telnet"));
    }
    if (verb == "send")
        return send(words);
    if (verb == "unplug" && words.size() == 1)
        return answer(unplug());
    if (verb == "plug" && words.size() == 1)
        return answer(plug());
    return "error unknown request: " + request;
}

QByteArray HostDevices::send(const QByteArrayList &words)
{
    const bool unplugging = words.size() == 5 && words[3] == "unplug-after";
    if (words.size() != 3 && !unplugging)
        return "error send needs a device and a file";
    const QByteArray data = readFile(QString::fromLocal8Bit(words[2]));
    if (data.isEmpty())
        return "error nothing to send in " + words[2];
    const QByteArray &device = words[1];
    qint64 taken = 0;
    if (device == DriversProtocol::modem)
        return answer(sendToPty(m_modem, data, -1, taken));
    if (device == DriversProtocol::ftdi) {
        const QString error =
            sendToPty(m_ftdi, data, unplugging ? words[4].toLongLong() : -1, taken);
        return error.isEmpty() && unplugging ? "ok " + QByteArray::number(taken) : answer(error);
    }
    if (device == DriversProtocol::telnet)
        return answer(sendToTelnet(data));
    return "error no device " + device;
}

// Written without blocking, so that the adapter can be woken and pulled out
// in the middle; done when QEMU has taken every byte from the terminal.
QString HostDevices::sendToPty(PtyDevice &pty, const QByteArray &data, qint64 unplugAfter,
                               qint64 &taken)
{
    const bool adapter = &pty == &m_ftdi;
    QDeadlineTimer deadline(transferTimeoutMs);
    QElapsedTimer sinceWake;
    sinceWake.start();
    qsizetype written = 0;
    for (;;) {
        if (written < data.size()) {
            const ssize_t n =
                ::write(pty.masterFd(), data.constData() + written, size_t(data.size() - written));
            if (n > 0)
                written += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return QStringLiteral("write: ") + QString::fromLocal8Bit(strerror(errno));
        }
        taken = written - pty.queued();
        if (unplugAfter >= 0 && taken >= unplugAfter) {
            // What the adapter had not taken goes with it; first, as QEMU 7.2
            // crashes when an adapter is removed with data waiting for it.
            pty.discardQueued();
            return unplug();
        }
        if (written == data.size() && pty.queued() == 0)
            return {};
        if (deadline.hasExpired())
            return QStringLiteral("the machine took only %1 of %2 bytes")
                .arg(taken)
                .arg(data.size());
        if (adapter && sinceWake.elapsed() >= adapterWakeMs) {
            if (const QString error = m_machine->command(QStringLiteral("query-status"));
                !error.isEmpty())
                return error;
            sinceWake.restart();
        }
        pollfd writable{pty.masterFd(), POLLOUT, 0};
        ::poll(&writable, 1, 2);
    }
}

QString HostDevices::sendToTelnet(const QByteArray &data)
{
    discardTelnetInput();
    QByteArray escaped = data;
    escaped.replace("\xff", "\xff\xff"); // a data byte 255 is sent doubled
    QLocalSocket &telnet = m_machine->telnet();
    telnet.write(escaped);
    while (telnet.bytesToWrite() > 0) {
        if (!telnet.waitForBytesWritten(transferTimeoutMs))
            return QStringLiteral("telnet: ") + telnet.errorString();
    }
    return {};
}

// QEMU greets with its telnet options; nothing else comes from the port.
void HostDevices::discardTelnetInput()
{
    QLocalSocket &telnet = m_machine->telnet();
    telnet.waitForReadyRead(0);
    telnet.readAll();
}

QString HostDevices::unplug()
{
    if (const QString error = m_machine->command(QStringLiteral("device_del"),
                                                 {{QStringLiteral("id"), QStringLiteral("ftdi")}});
        !error.isEmpty())
        return error;
    return m_machine->waitForEvent(QStringLiteral("DEVICE_DELETED"), 10000)
               ? QString()
               : QStringLiteral("the adapter was not removed");
}

QString HostDevices::plug()
{
    // The terminal stays in use by the removed adapter for a moment after it goes.
    QDeadlineTimer deadline(10000);
    for (;;) {
        const QString error = m_machine->command(
            QStringLiteral("device_add"), {{QStringLiteral("driver"), QStringLiteral("usb-serial")},
                                           {QStringLiteral("chardev"), QStringLiteral("ftdi")},
                                           {QStringLiteral("id"), QStringLiteral("ftdi")}});
        if (error.isEmpty() || !error.contains(QLatin1String("in use")) || deadline.hasExpired())
            return error;
        QThread::msleep(50);
    }
}
