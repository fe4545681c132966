#pragma once

#include "capture/lineeventdetector.h"
#include "capture/platform.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <functional>
#include <memory>

// The serial port as the window sees it: select a port number, open, close,
// read what arrived, and one notification with an event code per event.
// Nothing is ever written to the device. A device that goes away while open
// is closed at once and reopened, once a second, when it comes back.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    using StateSourceFactory = std::function<std::unique_ptr<LineStateSource>(int descriptor)>;

    explicit SerialPort(const QString &programDir, QObject *parent = nullptr);

    // Fails for numbers that select no port (below 1).
    bool setPortNumber(int portNumber);
    int portNumber() const { return m_portNumber; }

    // Opens the selected port with the line settings the device has now.
    bool open();
    // Closes the port and ends any reconnecting.
    void close();
    bool isOpen() const { return m_port.isOpen(); }
    bool isReconnecting() const { return m_retryTimer.isActive(); }

    // Every byte received since the last call, in arrival order.
    QByteArray readInput() { return m_port.isOpen() ? m_port.readAll() : QByteArray(); }

    // Tests replace where line states come from.
    void setStateSourceFactory(StateSourceFactory factory)
    {
        m_stateSourceFactory = std::move(factory);
    }

signals:
    void notification(int code);
    void deviceLost();
    void deviceRestored();

private:
    bool openDevice(const QString &path);
    void closeDevice();
    void handleError(QSerialPort::SerialPortError error);
    void pollLineStates();
    void retryOpen();

    QString m_programDir;
    int m_portNumber = 0;
    Platform::LineSettings m_lineSettings;
    QSerialPort m_port;
    QTimer m_pollTimer;
    QTimer m_retryTimer;
    StateSourceFactory m_stateSourceFactory = &Platform::lineStateSource;
    std::unique_ptr<LineStateSource> m_stateSource;
    LineEventDetector m_lineEvents;
};
