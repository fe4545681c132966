#include "capture/serialport.h"

#include "capture/eventmessages.h"

#include <QFileInfo>

namespace {
constexpr int retryIntervalMs = 1000;
} // namespace

SerialPort::SerialPort(const QString &portDir, QObject *parent)
    : QObject(parent), m_portDir(portDir), m_device(new SerialDevice(this))
{
    m_retryTimer.setInterval(retryIntervalMs);
    connect(m_device, &SerialDevice::received, this,
            [this] { emit notification(EventCode::Receive); });
    connect(m_device, &SerialDevice::lineEvent, this, &SerialPort::notification);
    connect(m_device, &SerialDevice::lost, this, &SerialPort::handleDeviceLost);
    connect(m_device, &SerialDevice::carrierDetected, this, &SerialPort::handleCarrierDetected);
    connect(&m_retryTimer, &QTimer::timeout, this, &SerialPort::retryOpen);
}

SerialPort::~SerialPort() = default;

bool SerialPort::setPortNumber(int portNumber)
{
    if (portNumber < 1)
        return false;
    m_portNumber = portNumber;
    return true;
}

bool SerialPort::open()
{
    close();
    const QString path = SerialDevice::pathForPort(m_portNumber, m_portDir);
    m_link = QFileInfo(path).isSymLink() ? path : QString();
    m_lastResult = path.isEmpty() ? OpenResult::Missing
                                  : m_device->open(path, SerialDevice::Settings::Capture);
    // A carrier still down at Start is the device's state, not a reconnect.
    m_wanted = m_lastResult == OpenResult::Opened || m_lastResult == OpenResult::AwaitingCarrier;
    return m_wanted;
}

bool SerialPort::openOrRetry()
{
    if (open())
        return true;
    m_wanted = true;
    m_retryCaptures = true;
    m_retryTimer.start();
    return false;
}

void SerialPort::close()
{
    m_wanted = false;
    m_retryTimer.stop();
    m_retryCaptures = false;
    m_awaitingCarrier = false;
    m_device->close();
}

bool SerialPort::isOpen() const
{
    return m_device->isOpen();
}

QByteArray SerialPort::readInput()
{
    return m_device->readAll();
}

QString SerialPort::resolvePath() const
{
    // Resolved again: the device may come back under another name behind the
    // link; a link that has gone is waited for, never replaced by a fallback.
    return m_link.isEmpty() ? SerialDevice::pathForPort(m_portNumber, m_portDir) : m_link;
}

void SerialPort::handleDeviceLost()
{
    // The bytes the device sent before it went away are handled first, and
    // may have stopped logging (a failed write): closed stays closed.
    if (!m_wanted)
        return;
    m_retryTimer.start();
    if (std::exchange(m_awaitingCarrier, false))
        return; // "disconnected" was said already, and nothing since
    emit deviceLost();
}

void SerialPort::handleCarrierDetected()
{
    if (std::exchange(m_awaitingCarrier, false))
        emit deviceRestored();
}

void SerialPort::retryOpen()
{
    const auto settings =
        m_retryCaptures ? SerialDevice::Settings::Capture : SerialDevice::Settings::Reuse;
    m_lastResult = m_device->open(resolvePath(), settings);
    switch (m_lastResult) {
    case OpenResult::Missing:
        return;
    case OpenResult::Refused:
        emit portRefused();
        return;
    case OpenResult::AwaitingCarrier:
        m_awaitingCarrier = true;
        break;
    case OpenResult::Opened:
        break;
    }
    m_retryCaptures = false;
    m_retryTimer.stop();
    if (!m_awaitingCarrier)
        emit deviceRestored();
}
