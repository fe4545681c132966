#include "emulatedmachine.h"

#include "protocol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>

#include <csignal>
#include <sys/prctl.h>

EmulatedMachine::~EmulatedMachine()
{
    kill();
}

QString EmulatedMachine::socketPath(const char *name) const
{
    return m_setup.workDir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".sock");
}

QStringList EmulatedMachine::arguments() const
{
    const QString share = m_setup.sharedDir;
    const QString channel = QLatin1String(DriversProtocol::channelName);
    // Option and value side by side.
    // clang-format off
    return {
        // One slow processor and little memory, as the test is measured for.
        "-nodefaults", "-no-user-config", "-machine", "pc,accel=tcg", "-m", "512", "-smp", "1",
        "-display", "none", "-no-reboot",
        "-kernel", m_setup.kernel,
        "-initrd", m_setup.initramfs,
        "-append", "console=ttyS0 panic=-1 quiet tarnel_share=" + share +
                   (m_setup.systemd ? " tarnel_boot=systemd" : ""),
        "-serial", "file:" + m_setup.workDir + "/console.log",
        "-virtfs", "local,path=/,mount_tag=hostroot,readonly=on,security_model=none,multidevs=remap",
        "-virtfs", "local,path=" + share + ",mount_tag=results,security_model=none",
        "-chardev", "socket,id=monitor,path=" + socketPath("monitor"),
        "-mon", "chardev=monitor,mode=control",
        "-chardev", "socket,id=requests,path=" + socketPath("requests"),
        "-device", "virtio-serial-pci",
        "-device", "virtserialport,chardev=requests,name=" + channel,
        "-chardev", "serial,id=modem,path=" + m_setup.modemPty,
        "-device", "isa-serial,chardev=modem,index=1",
        // QEMU reads telnet commands (a break) only as the server.
        "-chardev", "socket,id=telnet,path=" + socketPath("telnet") + ",server=on,wait=off,telnet=on",
        "-device", "isa-serial,chardev=telnet,index=2",
        "-chardev", "serial,id=ftdi,path=" + m_setup.ftdiPty,
        "-device", "qemu-xhci,id=xhci",
        "-device", "usb-serial,chardev=ftdi,id=ftdi",
    };
    // clang-format on
}

QString EmulatedMachine::start()
{
    for (const char *name : {"monitor", "requests", "telnet"})
        QFile::remove(socketPath(name));
    if (!m_monitorServer.listen(socketPath("monitor")) ||
        !m_requestServer.listen(socketPath("requests")))
        return QStringLiteral("cannot listen in %1").arg(m_setup.workDir);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), m_setup.preload);
    m_qemu.setProcessEnvironment(environment);
    m_qemu.setProcessChannelMode(QProcess::MergedChannels);
    m_qemu.setStandardOutputFile(m_setup.workDir + QStringLiteral("/qemu.log"));
    // Never outlive the test, even when it is killed.
    m_qemu.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_qemu.start(QStringLiteral("qemu-system-x86_64"), arguments());
    if (!m_qemu.waitForStarted(10000))
        return QStringLiteral("qemu-system-x86_64 does not start: ") + m_qemu.errorString();

    // QEMU connects to both at its start, before the machine runs.
    auto accept = [this](QLocalServer &server) -> QLocalSocket * {
        QDeadlineTimer deadline(30000);
        while (!server.hasPendingConnections() && isRunning() && !deadline.hasExpired())
            server.waitForNewConnection(100);
        return server.nextPendingConnection();
    };
    m_monitor = accept(m_monitorServer);
    m_requests = accept(m_requestServer);
    if (!m_monitor || !m_requests)
        return QStringLiteral("QEMU ended or hung before its devices were ready:\n") + log();

    QJsonObject greeting;
    if (!readMonitorLine(greeting, 10000) || !greeting.contains(QLatin1String("QMP")))
        return QStringLiteral("no QMP greeting from QEMU:\n") + log();
    if (const QString error = command(QStringLiteral("qmp_capabilities")); !error.isEmpty())
        return QStringLiteral("QMP: ") + error;

    m_telnet.connectToServer(socketPath("telnet"));
    if (!m_telnet.waitForConnected(10000))
        return QStringLiteral("cannot connect to QEMU's telnet port: ") + m_telnet.errorString();
    return {};
}

bool EmulatedMachine::isRunning()
{
    m_qemu.waitForFinished(0); // lets QProcess notice an exit
    return m_qemu.state() != QProcess::NotRunning;
}

bool EmulatedMachine::waitForExit(int ms)
{
    return m_qemu.state() == QProcess::NotRunning || m_qemu.waitForFinished(ms);
}

void EmulatedMachine::kill()
{
    if (m_qemu.state() == QProcess::NotRunning)
        return;
    m_qemu.kill();
    m_qemu.waitForFinished(10000);
}

bool EmulatedMachine::readMonitorLine(QJsonObject &message, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_monitor->canReadLine()) {
        if (deadline.hasExpired() || m_monitor->state() != QLocalSocket::ConnectedState)
            return false;
        m_monitor->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    message = QJsonDocument::fromJson(m_monitor->readLine()).object();
    return true;
}

QString EmulatedMachine::command(const QString &name, const QJsonObject &arguments)
{
    QJsonObject request{{QStringLiteral("execute"), name}};
    if (!arguments.isEmpty())
        request.insert(QStringLiteral("arguments"), arguments);
    m_monitor->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    m_monitor->flush();
    QJsonObject answer;
    while (readMonitorLine(answer, 10000)) {
        if (answer.contains(QLatin1String("return")))
            return {};
        if (answer.contains(QLatin1String("error")))
            return answer.value(QLatin1String("error"))
                .toObject()
                .value(QLatin1String("desc"))
                .toString(QStringLiteral("error"));
        m_events.append(answer); // an event that came first
    }
    return name + QStringLiteral(": no answer");
}

bool EmulatedMachine::waitForEvent(const QString &name, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (qsizetype i = 0; i < m_events.size(); ++i) {
            if (m_events[i].value(QLatin1String("event")).toString() == name) {
                m_events.remove(0, i + 1);
                return true;
            }
        }
        QJsonObject message;
        if (!readMonitorLine(message, int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        m_events.append(message);
    }
}

QString EmulatedMachine::log() const
{
    auto tail = [](const QString &path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        const qint64 size = file.size();
        file.seek(qMax<qint64>(0, size - 4000));
        return QString::fromLocal8Bit(file.readAll());
    };
    return QStringLiteral("--- QEMU:\n") + tail(m_setup.workDir + QStringLiteral("/qemu.log")) +
           QStringLiteral("--- console:\n") +
           tail(m_setup.workDir + QStringLiteral("/console.log"));
}
