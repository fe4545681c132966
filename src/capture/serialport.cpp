#include "capture/serialport.h"

#include "capture/eventmessages.h"
#include "capture/serialdevice.h"

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
    m_wanted = !path.isEmpty() && m_device->open(path, SerialDevice::Settings::Capture);
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

void SerialPort::handleDeviceLost()
{
    // The bytes the device sent before it went away are handled first, and
    // may have stopped logging (a failed write): closed stays closed.
    if (!m_wanted)
        return;
    m_retryTimer.start();
    emit deviceLost();
}

void SerialPort::retryOpen()
{
    // Resolved again: the device may come back under another name behind the link.
    const QString path = SerialDevice::pathForPort(m_portNumber, m_portDir);
    const auto settings =
        m_retryCaptures ? SerialDevice::Settings::Capture : SerialDevice::Settings::Reuse;
    if (!m_device->open(path, settings))
        return;
    m_retryCaptures = false;
    m_retryTimer.stop();
    emit deviceRestored();
}
