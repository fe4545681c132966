#pragma once

#include "support/fakeserialstate.h"
#include "support/ptydevice.h"

#include <QByteArray>
#include <QString>

class EmulatedMachine;

// The host's side of the emulated machine's devices: it answers the test's
// requests (see protocol.h) by writing into the pseudo-terminals and the
// telnet port, setting modem lines and plugging the USB adapter.
class HostDevices
{
public:
    // The pseudo-terminals' links go into workDir.
    explicit HostDevices(const QString &workDir);
    bool isReady() const { return m_ready; }
    QString modemPty() const { return m_modem.slavePath(); }
    QString ftdiPty() const { return m_ftdi.slavePath(); }

    void attach(EmulatedMachine *machine) { m_machine = machine; }
    // One request line in, one answer line out (without its line end).
    QByteArray handle(const QByteArray &request);

private:
    QByteArray send(const QByteArrayList &words);
    QString sendToPty(PtyDevice &pty, const QByteArray &data, qint64 unplugAfter, qint64 &taken);
    QString sendToTelnet(const QByteArray &data);
    QString unplug();
    QString plug();
    void discardTelnetInput();

    FakeSerialState m_lineState; // the environment names it for QEMU's preloaded library
    PtyDevice m_modem;
    PtyDevice m_ftdi;
    EmulatedMachine *m_machine = nullptr;
    bool m_ready = false;
};
