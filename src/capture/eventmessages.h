#pragma once

#include <QString>

// Event codes of the serial port layer. Code 2 (bytes received) goes to line
// assembly; every other code is shown as a message.
namespace EventCode {
constexpr int TransmitBufferLow = 1;
constexpr int Receive = 2;
constexpr int CtsChange = 3;
constexpr int DsrChange = 4;
constexpr int CdChange = 5;
constexpr int Ring = 6;
constexpr int EndOfFile = 7;
constexpr int Break = 1001;
constexpr int CtsTimeout = 1002;
constexpr int DsrTimeout = 1003;
constexpr int Framing = 1004;
constexpr int Overrun = 1006;
constexpr int CdTimeout = 1007;
constexpr int ReceiveOverflow = 1008;
constexpr int Parity = 1009;
constexpr int TransmitBufferFull = 1010;
constexpr int DcbError = 1011;
} // namespace EventCode

namespace EventMessages {

// Whether the code shows a message in the status line: all but 1 and 2.
bool showsMessage(int code);

// The status line text for a code; unknown codes share one text.
QString messageFor(int code);

inline QString deviceDisconnected()
{
    return QStringLiteral("Device disconnected");
}
inline QString deviceReconnected()
{
    return QStringLiteral("Device reconnected");
}
inline QString noLineEnd()
{
    return QStringLiteral("No CR LF line end received: check the device's line ends");
}

} // namespace EventMessages
