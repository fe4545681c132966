#include "capture/commevents_win.h"

#include "capture/eventmessages.h"

#include <array>

namespace {

// The line errors a driver signals with EV_ERR.
constexpr DWORD signalledErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

constexpr std::array<std::pair<DWORD, int>, 4> lineEvents{{
    {EV_CTS, EventCode::CtsChange},
    {EV_DSR, EventCode::DsrChange},
    {EV_RLSD, EventCode::CdChange},
    {EV_RING, EventCode::Ring},
}};

constexpr std::array<std::pair<DWORD, int>, 4> lineErrors{{
    {CE_FRAME, EventCode::Framing},
    {CE_OVERRUN, EventCode::Overrun},
    {CE_RXOVER, EventCode::ReceiveOverflow},
    {CE_RXPARITY, EventCode::Parity},
}};

// Whether an error or a break is to be reported, and whether it has been
// reported ahead of its flag. The flag of one reported ahead is in the
// driver's history when the wait is issued again, and ends that wait at
// once; a wait that ends later brings new events only (a driver without
// event history never returns the flag), so "ahead" lasts one wake.
struct Signalled
{
    bool report;
    bool ahead;
};
Signalled signalled(bool latched, bool flagged, bool ahead, CommEvents::Wake wake)
{
    if (wake == CommEvents::Wake::None)
        return {latched, ahead || latched};
    const bool flagExpected = ahead && wake == CommEvents::Wake::AtOnce;
    return {latched || (flagged && !flagExpected), latched};
}

} // namespace

QList<int> CommEvents::codesFor(DWORD happened, DWORD errors, Wake wake)
{
    QList<int> codes;
    for (const auto &[event, code] : lineEvents) {
        if (happened & event)
            codes.append(code);
    }
    const Signalled brk = signalled(errors & CE_BREAK, happened & EV_BREAK, m_breakAhead, wake);
    m_breakAhead = brk.ahead;
    if (brk.report)
        codes.append(EventCode::Break);
    for (const auto &[error, code] : lineErrors) {
        if (errors & error)
            codes.append(code);
    }
    // A driver may also signal an error without saying which (Wine does).
    const Signalled err =
        signalled(errors & signalledErrors, happened & EV_ERR, m_errorAhead, wake);
    m_errorAhead = err.ahead;
    if (err.report && !(errors & signalledErrors))
        codes.append(0);
    return codes;
}
