#pragma once

// Line states for pseudo-terminals, which have none of their own: a library
// preloaded into the program answers TIOCMGET and TIOCGICOUNT on every
// pseudo-terminal from this block, which the test shares through a file
// named in TARNEL_FAKE_SERIAL and changes while the program runs. Wine's
// serial code asks the same two calls, so the Windows build is driven
// through it too. The same library refuses opens of pseudo-terminals as the
// system refuses a port, and plays a name server that never answers for
// names under unanswered.invalid (a lookup waits 20 s, then fails).

#include <atomic>
#include <cstdint>

namespace FakeSerial {

constexpr const char *environmentVariable = "TARNEL_FAKE_SERIAL";

enum Mode : int32_t {
    None = 0,       // both calls fail, as on a bare pseudo-terminal
    ModemLines = 1, // TIOCMGET only, as PL2303 and CH341 adapters
    Counters = 2,   // both, as FTDI and CP210x adapters
};

// The fields of serial_icounter_struct that report line events.
enum Counter : int32_t {
    Cts,
    Dsr,
    Rng,
    Dcd,
    Frame,
    Overrun,
    Parity,
    Brk,
    BufOverrun,
    CounterCount
};

// The kernel's TIOCM_ bits, for tests that cannot include Linux headers.
namespace ModemBit {
constexpr int32_t Car = 0x040;
constexpr int32_t Rng = 0x080;
constexpr int32_t Cts = 0x020;
constexpr int32_t Dsr = 0x100;
} // namespace ModemBit

struct State
{
    std::atomic<int32_t> mode;
    std::atomic<int32_t> modemBits; // TIOCM_* bits
    std::atomic<int32_t> counters[CounterCount];
    std::atomic<uint32_t> calls; // TIOCMGET and TIOCGICOUNT calls seen on pseudo-terminals
    // What TIOCMSET asked of a pseudo-terminal, as QEMU's serial backend passes
    // its emulated port's DTR and RTS on: the last DTR and RTS, and how often
    // DTR fell.
    std::atomic<int32_t> controlBits;
    std::atomic<uint32_t> dtrDrops;
    // Nonzero: opening a pseudo-terminal fails with this errno (EBUSY from a
    // holder's TIOCEXCL, EACCES), which root would otherwise never see.
    std::atomic<int32_t> openErrno;
};

} // namespace FakeSerial
