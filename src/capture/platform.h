#pragma once

// Everything that depends on the operating system's serial devices lives
// behind this header, so another platform needs only its own source file.

#include "capture/lineeventdetector.h"

#include <QSerialPort>
#include <QString>
#include <memory>
#include <optional>

namespace Platform {

struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// The device a port number selects: <programDir>/com<N> when that link
// exists, otherwise the N-th built-in port. Empty for numbers below 1.
QString devicePathForPort(int portNumber, const QString &programDir);

// The device's current line settings, so that the operator chooses the
// speed with the system's own tools. Nothing when it is no serial device.
std::optional<LineSettings> readLineSettings(const QString &devicePath);

// Line states of the open device with the given descriptor.
std::unique_ptr<LineStateSource> lineStateSource(int descriptor);

} // namespace Platform
