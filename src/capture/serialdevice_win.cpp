// Windows: COM ports through the Win32 communications API. While the port
// is open one overlapped WaitCommEvent is pending; QWinEventNotifier brings
// its completion into the window's event loop, with the line events that
// happened. The bytes are then read with overlapped ReadFile calls that
// return at once with whatever is waiting.
//
// The window's thread never waits on the driver without a bound: a request
// the driver does not end in time is cancelled, and one that even the
// cancel does not end is left to the driver, with the memory it writes into.
#include "capture/serialdevice.h"

#include "capture/eventmessages.h"
#include "capture/win32comm.h"

#include <QWinEventNotifier>

#include <array>

namespace {

constexpr DWORD watchedEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr DWORD readChunk = 64 * 1024;
// A read asked for what is waiting, or a cancelled request, ends at once on
// a working driver; this is how long one that does not may hold the window.
constexpr DWORD driverGraceMs = 1000;
// Aborted waits in a row (a driver that aborts on errors whatever it is
// told) before the port counts as gone.
constexpr int abortsBeforeLoss = 3;
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

// One overlapped request: its OVERLAPPED with a manual-reset event, and the
// memory the driver writes into until the request has ended.
struct Request : OVERLAPPED
{
    explicit Request(DWORD bufferSize = 0) : OVERLAPPED{}, buffer(qsizetype(bufferSize), '\0')
    {
        hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Request() { CloseHandle(hEvent); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    bool pending = false; // issued, and its result not yet collected
    DWORD events = 0;     // what a WaitCommEvent reports
    QByteArray buffer;    // what a ReadFile fills
};

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

// Whether a line event is to be reported, and whether it was reported before
// its EV_ flag arrived. A driver latches an error or a break until
// ClearCommError and also keeps its EV_ flag until the next wait collects
// it: one that comes between a wake and ClearCommError is read with that
// wake, and its flag then brings the next wait back at once, with nothing
// new behind it.
struct Signalled
{
    bool report;
    bool ahead;
};
Signalled signalled(bool latched, bool flagged, bool ahead)
{
    if (latched)
        return {true, !flagged || ahead};
    return {flagged && !ahead, flagged ? false : ahead};
}

// A port that is there but taken by another program, or not ours to open,
// is told from one that is not there (yet).
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
    bool collectWait();
    bool readWaiting(DWORD queued, DWORD &errors);
    DWORD readOnce(DWORD want, DWORD &got);
    DWORD finish(std::unique_ptr<Request> &request, DWORD &transferred, bool ended);
    void cancel(std::unique_ptr<Request> &request);
    void report(DWORD happened, DWORD errors);
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
    std::unique_ptr<Request> wait = std::make_unique<Request>();
    std::unique_ptr<Request> read = std::make_unique<Request>(readChunk);
    QWinEventNotifier notifier;
    QByteArray received;
    bool errorAhead = false;
    bool breakAhead = false;
    int abortsInARow = 0;
};

bool SerialDevice::Native::armWait()
{
    ResetEvent(wait->hEvent);
    wait->events = 0;
    if (api.waitCommEvent(port, &wait->events, wait.get())) {
        wait->pending = true;
        SetEvent(wait->hEvent); // done at once: the notifier brings it in all the same
        return true;
    }
    wait->pending = GetLastError() == ERROR_IO_PENDING;
    return wait->pending;
}

// The notifier saw the wait's event: collect the wait, read what arrived,
// report it and wait again.
void SerialDevice::Native::reportEvents()
{
    if (!wait->pending) {
        ResetEvent(wait->hEvent); // nothing to collect: no wake again for it
        return;
    }
    if (!collectWait())
        return;
    DWORD errors = 0;
    COMSTAT status{};
    if (!api.clearCommError(port, &errors, &status) || !readWaiting(status.cbInQue, errors)) {
        lose();
        return;
    }
    report(wait->events, errors);
    if (isOpen() && !armWait())
        lose();
}

// False when there is nothing to report: the wait has not ended after all,
// or it failed, and the port is then gone (lost) or waits again.
bool SerialDevice::Native::collectWait()
{
    DWORD unused = 0;
    DWORD error =
        api.getOverlappedResult(port, wait.get(), &unused, FALSE) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
        // Woken too early: rest until the driver sets the event, unless it
        // ended just now.
        ResetEvent(wait->hEvent);
        error = api.getOverlappedResult(port, wait.get(), &unused, FALSE) ? ERROR_SUCCESS
                                                                          : GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return false;
    }
    wait->pending = false;
    if (error == ERROR_SUCCESS) {
        abortsInARow = 0;
        return true;
    }
    // A driver that aborts on a line error goes on once the error is
    // cleared; a port that is gone fails ClearCommError too.
    DWORD errors = 0;
    COMSTAT status{};
    if (error != ERROR_OPERATION_ABORTED || ++abortsInARow >= abortsBeforeLoss ||
        !api.clearCommError(port, &errors, &status)) {
        lose();
        return false;
    }
    report(0, errors);
    if (isOpen() && !armWait())
        lose();
    return false;
}

// Reads the bytes the driver holds; false when the port has failed. Only
// what is there is asked for, so that no read has to wait. Errors cleared
// on the way are added to errors.
bool SerialDevice::Native::readWaiting(DWORD queued, DWORD &errors)
{
    bool cleared = false;
    while (queued > 0) {
        DWORD got = 0;
        const DWORD error = readOnce(qMin(queued, readChunk), got);
        if (error == ERROR_OPERATION_ABORTED && !cleared) {
            // An abort on a line error: clear it and read once more.
            DWORD more = 0;
            COMSTAT status{};
            if (!api.clearCommError(port, &more, &status))
                return false;
            errors |= more;
            queued = status.cbInQue;
            cleared = true;
            continue;
        }
        if (error != ERROR_SUCCESS)
            return false;
        received.append(read->buffer.constData(), qsizetype(got));
        if (got == 0)
            break;
        queued -= qMin(got, queued);
    }
    return true;
}

// One ReadFile into the read request; ERROR_SUCCESS or why it failed.
DWORD SerialDevice::Native::readOnce(DWORD want, DWORD &got)
{
    ResetEvent(read->hEvent);
    const bool done = api.readFile(port, read->buffer.data(), want, nullptr, read.get());
    if (!done && GetLastError() != ERROR_IO_PENDING)
        return GetLastError();
    read->pending = true;
    return finish(read, got, done);
}

// Waits, within the bound, for a request to end unless it is known to
// have ended, and collects its result.
DWORD SerialDevice::Native::finish(std::unique_ptr<Request> &request, DWORD &transferred,
                                   bool ended)
{
    transferred = 0;
    if (ended || WaitForSingleObject(request->hEvent, driverGraceMs) == WAIT_OBJECT_0) {
        if (api.getOverlappedResult(port, request.get(), &transferred, FALSE)) {
            request->pending = false;
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_INCOMPLETE) {
            request->pending = false;
            return error;
        }
    }
    cancel(request);
    return ERROR_TIMEOUT;
}

// Ends a pending request: CancelIoEx on its own OVERLAPPED, then a bounded
// wait for it to end. A request the driver does not end in time may still
// be written into whenever the driver gets to it: it is left to the driver,
// never freed, and a new one takes its place.
void SerialDevice::Native::cancel(std::unique_ptr<Request> &request)
{
    if (!request->pending)
        return;
    api.cancelIoEx(port, request.get());
    DWORD unused = 0;
    if (WaitForSingleObject(request->hEvent, driverGraceMs) == WAIT_OBJECT_0 &&
        (api.getOverlappedResult(port, request.get(), &unused, FALSE) ||
         GetLastError() != ERROR_IO_INCOMPLETE)) {
        request->pending = false;
        return;
    }
    const DWORD size = DWORD(request->buffer.size());
    (void)request.release();
    request = std::make_unique<Request>(size);
}

void SerialDevice::Native::report(DWORD happened, DWORD errors)
{
    // Each report may lead the window to stop logging, closing the port.
    if (!received.isEmpty())
        emit device.received();
    for (const auto &[event, code] : lineEvents) {
        if ((happened & event) && isOpen())
            emit device.lineEvent(code);
    }
    const Signalled brk = signalled(errors & CE_BREAK, happened & EV_BREAK, breakAhead);
    breakAhead = brk.ahead;
    if (brk.report && isOpen())
        emit device.lineEvent(EventCode::Break);
    for (const auto &[error, code] : lineErrors) {
        if ((errors & error) && isOpen())
            emit device.lineEvent(code);
    }
    // A driver may also signal an error without saying which (Wine does).
    const Signalled err = signalled(errors & signalledErrors, happened & EV_ERR, errorAhead);
    errorAhead = err.ahead;
    if (err.report && !(errors & signalledErrors) && isOpen())
        emit device.lineEvent(0);
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
    if (wait->pending) {
        // A new mask ends a pending wait on every driver (a cancel alone
        // does not under Wine); the cancel is for those that ignore it.
        api.setCommMask(port, 0);
        cancel(wait);
    }
    cancel(read);
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
            n.close();
            return OpenResult::Refused; // there, but no serial port
        }
        n.atStart = current;
        n.timeoutsAtStart = timeouts;
    }
    DCB raw = forRawReading(n.atStart);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0}; // a read returns at once with what is there
    n.settingsChanged = true;
    if (!n.api.setCommState(n.port, &raw) || !n.api.setCommTimeouts(n.port, &immediate) ||
        !n.api.setCommMask(n.port, watchedEvents) || !n.armWait()) {
        n.close();
        return OpenResult::Refused;
    }
    n.errorAhead = false;
    n.breakAhead = false;
    n.abortsInARow = 0;
    n.notifier.setHandle(n.wait->hEvent); // a new request may have taken the old one's place
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
