#pragma once

#include "fakeserial/fakeserial.h"

#include <memory>

// The test's side of the preloaded line-state library: the shared block in a
// file named in the environment, so that pseudo-terminals answer TIOCMGET and
// TIOCGICOUNT from it. On Linux this object makes the file and names it for
// as long as it lives; under Wine the script that starts the program made
// and named it, and this object maps it through its Windows name.
class FakeSerialState
{
public:
    FakeSerialState();
    ~FakeSerialState();
    FakeSerialState(const FakeSerialState &) = delete;
    FakeSerialState &operator=(const FakeSerialState &) = delete;

    // Whether the block is shared and the library is loaded to answer from it.
    bool isActive() const;

    void setMode(FakeSerial::Mode mode) { m_state->mode = mode; }
    void setModemBits(int bits) { m_state->modemBits = bits; }
    void count(FakeSerial::Counter counter) { m_state->counters[counter].fetch_add(1); }
    // TIOCMGET and TIOCGICOUNT calls on pseudo-terminals so far.
    unsigned calls() const { return m_state->calls.load(); }
    int controlBits() const { return m_state->controlBits.load(); }
    unsigned dtrDrops() const { return m_state->dtrDrops.load(); }
    void refuseOpens(int error) { m_state->openErrno = error; }

private:
    struct Backing; // the shared file, per platform
    std::unique_ptr<Backing> m_backing;
    FakeSerial::State *m_state = nullptr;
};
