#pragma once

#include <QList>

#include <windows.h>

// The line events a COM port driver reports, as the program's event codes:
// the EV_ flags a wait collected and the CE_ errors ClearCommError cleared.
// A driver latches an error or a break until ClearCommError, and keeps its
// EV_ flag until a wait collects it: an error that comes between a wake and
// ClearCommError is read with that wake, and its flag follows with the next
// one. Each is reported once.
class CommEvents
{
public:
    // How the events came: with a wait that had ended when it was issued
    // (its flags were in the driver's history), with one that ended later,
    // or with no wait's events (an aborted wait).
    enum class Wake { AtOnce, Later, None };

    // The event codes to report, in order.
    QList<int> codesFor(DWORD happened, DWORD errors, Wake wake);

private:
    bool m_errorAhead = false; // an error reported before its flag came
    bool m_breakAhead = false;
};
