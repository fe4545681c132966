#include "capture/serialport.h"

#include "capture/eventmessages.h"

#include <QFileInfo>

namespace {
constexpr int pollIntervalMs = 100;
constexpr int retryIntervalMs = 1000;
} // namespace

SerialPort::SerialPort(const QString &programDir, QObject *parent)
    : QObject(parent), m_programDir(programDir)
{
    m_pollTimer.setInterval(pollIntervalMs);
    m_retryTimer.setInterval(retryIntervalMs);
    connect(&m_port, &QSerialPort::readyRead, this,
            [this] { emit notification(EventCode::Receive); });
    // Queued: the port raises its error from inside its own read notifier,
    // which must not be closed under it.
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialPort::handleError,
            Qt::QueuedConnection);
    connect(&m_pollTimer, &QTimer::timeout, this, &SerialPort::pollLineStates);
    connect(&m_retryTimer, &QTimer::timeout, this, &SerialPort::retryOpen);
}

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
    const QString path = Platform::devicePathForPort(m_portNumber, m_programDir);
    if (path.isEmpty())
        return false;
    const auto settings = Platform::readLineSettings(path);
    if (!settings)
        return false;
    m_lineSettings = *settings;
    return openDevice(path);
}

void SerialPort::close()
{
    m_retryTimer.stop();
    closeDevice();
}

bool SerialPort::openDevice(const QString &path)
{
    // The real device, so that two links to one device share one lock.
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return false;
    m_port.setPortName(device);
    m_port.setBaudRate(m_lineSettings.baudRate);
    m_port.setDataBits(m_lineSettings.dataBits);
    m_port.setParity(m_lineSettings.parity);
    m_port.setStopBits(m_lineSettings.stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadOnly))
        return false;
    m_stateSource = m_stateSourceFactory(int(m_port.handle()));
    if (m_lineEvents.start(m_stateSource.get()))
        m_pollTimer.start();
    return true;
}

void SerialPort::closeDevice()
{
    m_pollTimer.stop();
    m_lineEvents.stop();
    m_stateSource.reset();
    if (m_port.isOpen())
        m_port.close();
}

void SerialPort::handleError(QSerialPort::SerialPortError error)
{
    // The device went away (unplugged, other side closed): the port would
    // report this endlessly, so close it and wait for the device instead.
    if ((error != QSerialPort::ReadError && error != QSerialPort::ResourceError) ||
        !m_port.isOpen())
        return;
    if (m_port.bytesAvailable() > 0) // what arrived before the loss still gets logged
        emit notification(EventCode::Receive);
    closeDevice();
    m_port.clearError();
    m_retryTimer.start();
    emit deviceLost();
}

void SerialPort::pollLineStates()
{
    for (int code : m_lineEvents.poll())
        emit notification(code);
}

void SerialPort::retryOpen()
{
    // Resolved again: the device may come back under another name behind the link.
    if (!openDevice(Platform::devicePathForPort(m_portNumber, m_programDir)))
        return;
    m_retryTimer.stop();
    emit deviceRestored();
}
