#pragma once

#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QString>

// QEMU in pure emulation (no KVM) with Debian's own kernel: the host's root
// file system read-only under an overlay in memory, a shared folder mounted
// at its host path, a 16550 on a pseudo-terminal (ttyS1), a 16550 behind a
// telnet socket (ttyS2), an FTDI USB adapter on another pseudo-terminal
// (ttyUSB0), and a virtio-serial channel for the test's requests. QEMU is
// killed when this object goes, and with this process.
class EmulatedMachine
{
public:
    struct Setup
    {
        QString kernel;
        QString initramfs;
        QString sharedDir;
        QString workDir; // sockets and logs
        QString modemPty;
        QString ftdiPty;
        QString preload;      // a library QEMU runs with
        bool systemd = false; // the test program runs under systemd as the first process
    };

    explicit EmulatedMachine(const Setup &setup) : m_setup(setup) {}
    ~EmulatedMachine();
    EmulatedMachine(const EmulatedMachine &) = delete;
    EmulatedMachine &operator=(const EmulatedMachine &) = delete;

    // Starts QEMU and connects to its monitor, the request channel and the
    // telnet port; an empty answer means it runs, anything else says why not.
    QString start();
    bool isRunning();
    bool waitForExit(int ms);
    void kill();

    // A monitor (QMP) command; an empty answer means it succeeded.
    QString command(const QString &name, const QJsonObject &arguments = {});
    bool waitForEvent(const QString &name, int timeoutMs);

    QLocalSocket *requests() const { return m_requests; }
    QLocalSocket &telnet() { return m_telnet; }
    // What QEMU and the guest's console printed, for failure reports.
    QString log() const;

private:
    QStringList arguments() const;
    QString socketPath(const char *name) const;
    bool readMonitorLine(QJsonObject &message, int timeoutMs);

    Setup m_setup;
    QProcess m_qemu;
    QLocalServer m_monitorServer;
    QLocalServer m_requestServer;
    QLocalSocket *m_monitor = nullptr;
    QLocalSocket *m_requests = nullptr;
    QLocalSocket m_telnet;
    QList<QJsonObject> m_events;
};
