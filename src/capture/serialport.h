#pragma once

#include "capture/serialdevice.h"

#include <QObject>
#include <QTimer>

// The serial port as the window sees it: select a port number, open, close,
// read what arrived, and one notification with an event code per event.
// Nothing is ever written to the device. A device that goes away while open
// is closed at once and reopened, once a second, when it comes back.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    // portDir holds the com<N> links, where the platform has them.
    explicit SerialPort(const QString &portDir, QObject *parent = nullptr);
    ~SerialPort() override;

    // Fails for numbers that select no port (below 1).
    bool setPortNumber(int portNumber);
    int portNumber() const { return m_portNumber; }

    // Opens the selected port with the line settings the device has now.
    bool open();
    // Opens it now or, when it cannot be opened yet (an adapter that appears
    // later at a boot), tries again once a second as for a device that went
    // away; the first open then takes the line settings the device has.
    // True when it is open now.
    bool openOrRetry();
    // Closes the port and ends any reconnecting.
    void close();
    bool isOpen() const;
    bool isReconnecting() const { return m_retryTimer.isActive(); }
    // The last try found the port there but busy or not ours to open.
    bool isRefused() const { return m_lastResult == OpenResult::Refused; }

    // Every byte received since the last call, in arrival order.
    QByteArray readInput();

signals:
    void notification(int code);
    void deviceLost();
    // A reconnect that found the port busy or refused; raised at each try.
    void portRefused();
    void deviceRestored();

private:
    using OpenResult = SerialDevice::OpenResult;
    QString resolvePath() const;
    void handleDeviceLost();
    void handleCarrierDetected();
    void retryOpen();

    QString m_portDir;
    int m_portNumber = 0;
    bool m_wanted = false; // opened and not closed since: a lost device is reopened
    SerialDevice *m_device = nullptr;
    QTimer m_retryTimer;
    bool m_retryCaptures = false; // no line settings taken from the device yet
    // The com<N> link the port was opened through: a device that goes takes
    // its link with it, and the port must not fall back to another device then.
    QString m_link;
    OpenResult m_lastResult = OpenResult::Missing;
    bool m_awaitingCarrier = false; // reopened, not reported back until the carrier is
};
