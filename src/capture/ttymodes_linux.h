#pragma once

// A terminal's line settings and input modes, through the tty ioctls.
#include <QSerialPort>

#include <optional>

struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    QSerialPort::FlowControl flowControl = QSerialPort::NoFlowControl;
    // CLOCAL off: the driver watches the carrier (DCD) and hangs the terminal
    // up when it drops.
    bool watchCarrier = false;
};

namespace TtyModes {

// The settings the device has now; nothing when it is no terminal.
std::optional<LineSettings> read(int descriptor);
// Raw input at once, as the port will set it: until then the line
// discipline would echo bytes back to the device, send it XOFF, or turn CR
// into LF.
bool makeRaw(int descriptor);
// Carrier watching as the device had it, and the input as the device sent it.
bool applyForReading(int descriptor, bool watchCarrier);
// False also when the driver cannot tell.
bool carrierIsDown(int descriptor);

} // namespace TtyModes
