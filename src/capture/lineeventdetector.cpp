#include "capture/lineeventdetector.h"

#include "capture/eventmessages.h"

#include <algorithm>
#include <array>

namespace {

struct CounterEvent
{
    int LineCounters::*counter;
    int code;
};

// In the order the event table lists them.
constexpr std::array<CounterEvent, 9> counterEvents{{
    {&LineCounters::cts, EventCode::CtsChange},
    {&LineCounters::dsr, EventCode::DsrChange},
    {&LineCounters::dcd, EventCode::CdChange},
    {&LineCounters::rng, EventCode::Ring},
    {&LineCounters::brk, EventCode::Break},
    {&LineCounters::frame, EventCode::Framing},
    {&LineCounters::overrun, EventCode::Overrun},
    {&LineCounters::bufOverrun, EventCode::ReceiveOverflow},
    {&LineCounters::parity, EventCode::Parity},
}};

constexpr std::array<std::pair<int, int>, 4> modemEvents{{
    {ModemLine::Cts, EventCode::CtsChange},
    {ModemLine::Dsr, EventCode::DsrChange},
    {ModemLine::Cd, EventCode::CdChange},
    {ModemLine::Ring, EventCode::Ring},
}};

} // namespace

bool LineEventDetector::start(LineStateSource *source)
{
    stop();
    m_source = source;
    if (!source)
        return false;
    if (const auto counters = source->readCounters()) {
        m_mode = Mode::Counters;
        m_counters = *counters;
    } else if (const auto lines = source->readModemLines()) {
        m_mode = Mode::ModemLines;
        m_modemLines = *lines;
    }
    return isActive();
}

bool LineEventDetector::resume(LineStateSource *source)
{
    const Mode before = m_mode != Mode::None ? m_mode : m_stoppedMode;
    const LineCounters counters = m_counters;
    const int lines = m_modemLines;
    if (!start(source) || m_mode != before)
        return isActive();
    if (m_mode == Mode::ModemLines) {
        m_modemLines = lines;
    } else {
        const bool wentBack =
            std::any_of(counterEvents.begin(), counterEvents.end(), [&](const CounterEvent &e) {
                return m_counters.*e.counter < counters.*e.counter;
            });
        if (!wentBack)
            m_counters = counters;
    }
    return true;
}

void LineEventDetector::stop()
{
    if (m_mode != Mode::None)
        m_stoppedMode = m_mode;
    m_source = nullptr;
    m_mode = Mode::None;
}

QList<int> LineEventDetector::poll()
{
    QList<int> codes;
    if (m_mode == Mode::Counters) {
        const auto now = m_source->readCounters();
        if (!now)
            return codes;
        for (const auto &[counter, code] : counterEvents) {
            // Compared for change, not size, so a wrapped counter still counts.
            if ((*now).*counter != m_counters.*counter)
                codes.append(code);
        }
        m_counters = *now;
    } else if (m_mode == Mode::ModemLines) {
        const auto now = m_source->readModemLines();
        if (!now)
            return codes;
        for (const auto &[bit, code] : modemEvents) {
            if ((*now & bit) != (m_modemLines & bit))
                codes.append(code);
        }
        m_modemLines = *now;
    }
    return codes;
}
