#pragma once

#include "fakeserial/fakeserial.h"

#include <QString>
#include <QTemporaryFile>

// The test's side of the preloaded line-state library: the shared block in a
// temporary file, named in the environment while this object lives, so that
// pseudo-terminals opened meanwhile answer TIOCMGET and TIOCGICOUNT from it.
class FakeSerialState
{
public:
    FakeSerialState();
    ~FakeSerialState();
    FakeSerialState(const FakeSerialState &) = delete;
    FakeSerialState &operator=(const FakeSerialState &) = delete;

    // Whether the block is shared and the library is loaded to answer from it.
    bool isActive() const;
    QString path() const { return m_file.fileName(); }

    void setMode(FakeSerial::Mode mode) { m_state->mode = mode; }
    void setModemBits(int bits) { m_state->modemBits = bits; }
    void count(FakeSerial::Counter counter) { m_state->counters[counter].fetch_add(1); }
    // TIOCMGET and TIOCGICOUNT calls on pseudo-terminals so far.
    unsigned calls() const { return m_state->calls.load(); }

private:
    QTemporaryFile m_file;
    FakeSerial::State *m_state = nullptr;
};
