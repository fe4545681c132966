// Windows: COM ports through the Win32 communications API. While the port
// is open one overlapped WaitCommEvent is pending; QWinEventNotifier brings
// its completion into the window's event loop, with the line events that
// happened. The bytes are then read with overlapped ReadFile calls that
// return at once with whatever is waiting; every request is bounded
// (CommRequest).
#include "capture/serialdevice.h"

#include "capture/commevents_win.h"
#include "capture/commrequest_win.h"
#include "capture/win32comm.h"

#include <QWinEventNotifier>

namespace {

constexpr DWORD watchedEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr DWORD readChunk = 64 * 1024;
// Aborted waits in a row (a driver that aborts on errors whatever it is
// told) before the port counts as gone.
constexpr int abortsBeforeLoss = 3;
// Waits in a row that end with nothing (no event, no error, no byte): a
// driver that ends every wait at once would otherwise keep the window's
// thread busy for ever and never report a port that has gone.
constexpr int emptyWakesBeforeLoss = 8;

// What reading raw bytes needs, and nothing else of the port's settings:
// binary, no byte dropped or replaced, no XON/XOFF sent (nothing is ever
// sent), and no read that stops after an error. Speed, framing and the
// RTS/CTS handshake stay as the port has them.
DCB forRawReading(DCB dcb)
{
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fAbortOnError = FALSE;
    return dcb;
}

// A port that is there but taken by another program, or not ours to open,
// is told from one that is not there (yet). A port that opens but fails to
// be set up is mostly one going away (an adapter pulled, or under Wine a
// pseudo-terminal that has gone): it counts by its error as well.
SerialDevice::OpenResult openFailure(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
               ? SerialDevice::OpenResult::Refused
               : SerialDevice::OpenResult::Missing;
}

} // namespace

struct SerialDevice::Native
{
    explicit Native(SerialDevice &owner) : device(owner) {}

    bool armWait();
    void reportEvents();
    bool readAll(DWORD &errors);
    void report(DWORD happened, DWORD errors, CommEvents::Wake wake);
    void lose();
    void close();
    bool isOpen() const { return port != INVALID_HANDLE_VALUE; }

    SerialDevice &device;
    Win32Comm api;
    HANDLE port = INVALID_HANDLE_VALUE;
    // The port's own settings at Start, put back whenever it is closed.
    DCB atStart{};
    COMMTIMEOUTS timeoutsAtStart{};
    bool settingsChanged = false;
    CommRequest wait;
    CommRequest read{readChunk};
    bool waitEndedAtOnce = false;
    QWinEventNotifier notifier;
    QByteArray received;
    CommEvents commEvents;
    int abortsInARow = 0;
    int emptyWakesInARow = 0;
};

bool SerialDevice::Native::armWait()
{
    OVERLAPPED *overlapped = wait.prepare();
    if (api.waitCommEvent(port, wait.events(), overlapped)) {
        wait.issued();
        SetEvent(wait.event()); // done at once: the notifier brings it in all the same
        waitEndedAtOnce = true;
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    wait.issued();
    waitEndedAtOnce = WaitForSingleObject(wait.event(), 0) == WAIT_OBJECT_0;
    return true;
}

// The notifier saw the wait's event: collect the wait, clear the errors,
// wait again, read what arrived and report it. The errors are cleared
// before the wait is issued again: the flag of one that came after the
// wake is then in the driver's history, and ends the new wait at once
// (CommEvents). The bytes are read after it: one that comes after the last
// look at the queue then ends the new wait, also on a driver without event
// history, or one that signals EV_RXCHAR only when its queue stops being
// empty.
void SerialDevice::Native::reportEvents()
{
    if (!wait.isPending()) {
        ResetEvent(wait.event()); // nothing to collect: no wake again for it
        return;
    }
    const CommRequest::Result result = wait.poll(api, port);
    if (result.error == ERROR_IO_INCOMPLETE)
        return; // woken too early: the driver sets the event when it ends
    // A driver that aborts on a line error goes on once the error is
    // cleared; a port that is gone fails ClearCommError too.
    const bool aborted = result.error == ERROR_OPERATION_ABORTED;
    if (result.error != ERROR_SUCCESS && (!aborted || ++abortsInARow >= abortsBeforeLoss)) {
        lose();
        return;
    }
    if (!aborted)
        abortsInARow = 0;
    const DWORD happened = aborted ? 0 : *wait.events();
    using Wake = CommEvents::Wake;
    const Wake wake = aborted ? Wake::None : waitEndedAtOnce ? Wake::AtOnce : Wake::Later;
    DWORD errors = 0;
    if (!api.clearCommError(port, &errors, nullptr)) {
        lose();
        return;
    }
    const bool armed = armWait();
    if (!readAll(errors) || !armed) { // what the driver holds is read all the same
        lose();
        return;
    }
    const bool empty =
        result.error == ERROR_SUCCESS && happened == 0 && errors == 0 && received.isEmpty();
    emptyWakesInARow = empty ? emptyWakesInARow + 1 : 0;
    if (emptyWakesInARow >= emptyWakesBeforeLoss) {
        lose();
        return;
    }
    report(happened, errors, wake);
}

// Reads what the driver holds until it holds no more, asking ClearCommError
// each time how much that is: a read asked for more than is there may wait
// (under Wine it does, whatever the timeouts say). False when the port has
// failed. Bytes a failed read handed over are kept; errors cleared on the
// way are added to errors.
bool SerialDevice::Native::readAll(DWORD &errors)
{
    bool aborted = false;
    for (;;) {
        DWORD more = 0;
        COMSTAT status{};
        if (!api.clearCommError(port, &more, &status))
            return false;
        errors |= more;
        if (status.cbInQue == 0)
            return true;
        CommRequest::Result result;
        OVERLAPPED *overlapped = read.prepare();
        if (api.readFile(port, read.buffer(), qMin(status.cbInQue, readChunk), nullptr,
                         overlapped) ||
            GetLastError() == ERROR_IO_PENDING) {
            read.issued();
            result = read.finish(api, port);
        } else {
            result.error = GetLastError();
        }
        received.append(read.buffer(), qsizetype(result.transferred));
        if (result.error == ERROR_OPERATION_ABORTED && !aborted) {
            aborted = true; // on a line error: the next ClearCommError clears it
            continue;
        }
        if (result.error != ERROR_SUCCESS)
            return false;
        if (result.transferred == 0)
            return true;
    }
}

void SerialDevice::Native::report(DWORD happened, DWORD errors, CommEvents::Wake wake)
{
    // Each report may lead the window to stop logging, closing the port.
    if (!received.isEmpty())
        emit device.received();
    for (const int code : commEvents.codesFor(happened, errors, wake)) {
        if (isOpen())
            emit device.lineEvent(code);
    }
}

void SerialDevice::Native::lose()
{
    // Bytes that came before the loss still reach the log.
    if (!received.isEmpty())
        emit device.received();
    close();
    emit device.lost();
}

void SerialDevice::Native::close()
{
    notifier.setEnabled(false);
    if (!isOpen())
        return;
    if (wait.isPending()) {
        // A new mask ends a pending wait on every driver (a cancel alone
        // does not under Wine); the cancel is for those that ignore it.
        api.setCommMask(port, 0);
        wait.cancel(api, port);
    }
    read.cancel(api, port);
    if (settingsChanged) {
        // The next program to open the port finds it as it was before Start.
        api.setCommState(port, &atStart);
        api.setCommTimeouts(port, &timeoutsAtStart);
        settingsChanged = false;
    }
    api.closeHandle(port);
    port = INVALID_HANDLE_VALUE;
    received.clear();
}

Win32Comm &win32Comm()
{
    static Win32Comm system;
    return system;
}

QString SerialDevice::pathForPort(int portNumber, const QString &)
{
    if (portNumber < 1)
        return {};
    return QStringLiteral("\\\\.\\COM%1").arg(portNumber);
}

SerialDevice::SerialDevice(QObject *parent)
    : QObject(parent), m_native(std::make_unique<Native>(*this))
{
    connect(&m_native->notifier, &QWinEventNotifier::activated, this,
            [this] { m_native->reportEvents(); });
}

SerialDevice::~SerialDevice()
{
    m_native->close();
}

SerialDevice::OpenResult SerialDevice::open(const QString &path, Settings settings)
{
    Native &n = *m_native;
    n.close();
    n.api = win32Comm();
    // Read and write access, as waiting for comm events needs on some
    // drivers (and under Wine); nothing is ever written.
    n.port = n.api.createFile(reinterpret_cast<const wchar_t *>(path.utf16()),
                              GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (!n.isOpen())
        return openFailure(::GetLastError());
    if (settings == Settings::Capture) {
        DCB current{};
        current.DCBlength = sizeof current;
        COMMTIMEOUTS timeouts{};
        if (!n.api.getCommState(n.port, &current) || !n.api.getCommTimeouts(n.port, &timeouts)) {
            const DWORD error = ::GetLastError();
            n.close();
            return openFailure(error);
        }
        n.atStart = current;
        n.timeoutsAtStart = timeouts;
    }
    DCB raw = forRawReading(n.atStart);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0}; // a read returns at once with what is there
    n.settingsChanged = true;
    if (!n.api.setCommState(n.port, &raw) || !n.api.setCommTimeouts(n.port, &immediate) ||
        !n.api.setCommMask(n.port, watchedEvents) || !n.armWait()) {
        const DWORD error = ::GetLastError();
        n.close();
        return openFailure(error);
    }
    n.commEvents = CommEvents();
    n.abortsInARow = 0;
    n.emptyWakesInARow = 0;
    n.notifier.setHandle(n.wait.event()); // a new request may have taken the old one's place
    n.notifier.setEnabled(true);
    return OpenResult::Opened;
}

void SerialDevice::close()
{
    m_native->close();
}

bool SerialDevice::isOpen() const
{
    return m_native->isOpen();
}

QByteArray SerialDevice::readAll()
{
    return std::exchange(m_native->received, QByteArray());
}
