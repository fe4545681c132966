#pragma once

#include <QList>
#include <optional>

// Counts of line events as the driver keeps them since the device was opened.
struct LineCounters
{
    int cts = 0;
    int dsr = 0;
    int dcd = 0;
    int rng = 0;
    int brk = 0;
    int frame = 0;
    int overrun = 0;
    int bufOverrun = 0;
    int parity = 0;
};

// Modem status lines as bits, for drivers that keep no counters.
namespace ModemLine {
constexpr int Cts = 0x1;
constexpr int Dsr = 0x2;
constexpr int Cd = 0x4;
constexpr int Ring = 0x8;
} // namespace ModemLine

// Where line states come from: the kernel for a real port, a script in tests.
// Each read answers nothing when the device cannot tell.
class LineStateSource
{
public:
    virtual ~LineStateSource() = default;
    virtual std::optional<LineCounters> readCounters() = 0;
    virtual std::optional<int> readModemLines() = 0;
};

// Turns what a source reports between two polls into event codes: one per
// counter that grew, or, without counters, one per modem line that changed.
class LineEventDetector
{
public:
    // Takes the baseline, so nothing from before the start is reported.
    // Returns false when the source can tell nothing; there is then no point polling.
    bool start(LineStateSource *source);
    // The same device opened again: what its counters took while it was
    // closed (a carrier loss that hung it up) is reported at the next poll.
    // Counts that went back are another device's: they become the baseline.
    bool resume(LineStateSource *source);
    void stop();
    bool isActive() const { return m_mode != Mode::None; }

    QList<int> poll();

private:
    enum class Mode { None, Counters, ModemLines };

    LineStateSource *m_source = nullptr;
    Mode m_mode = Mode::None;
    Mode m_stoppedMode = Mode::None; // what the kept baseline is
    LineCounters m_counters;
    int m_modemLines = 0;
};
