#include "capture/eventmessages.h"

#include <array>
#include <utility>

namespace EventMessages {
namespace {

constexpr std::array<std::pair<int, const char *>, 15> messages{{
    {EventCode::CtsChange, "Change in CTS Detected"},
    {EventCode::DsrChange, "Change in DSR Detected"},
    {EventCode::CdChange, "Change in CD Detected"},
    {EventCode::Ring, "The Phone is Ringing"},
    {EventCode::EndOfFile, "End of File Detected"},
    {EventCode::Break, "Break Received"},
    {EventCode::CtsTimeout, "CTS Timeout"},
    {EventCode::DsrTimeout, "DSR Timeout"},
    {EventCode::Framing, "Framing Error"},
    {EventCode::Overrun, "Overrun Error"},
    {EventCode::CdTimeout, "Carrier Detect Timeout"},
    {EventCode::ReceiveOverflow, "Receive Buffer Overflow"},
    {EventCode::Parity, "Parity Error"},
    {EventCode::TransmitBufferFull, "Transmit Buffer Full"},
    {EventCode::DcbError, "Error retrieving DCB"},
}};

} // namespace

bool showsMessage(int code)
{
    return code != EventCode::TransmitBufferLow && code != EventCode::Receive;
}

QString messageFor(int code)
{
    for (const auto &[known, text] : messages) {
        if (known == code)
            return QString::fromLatin1(text);
    }
    return QStringLiteral("Unknown error or event");
}

} // namespace EventMessages
