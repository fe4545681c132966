// Windows: COM ports through the Win32 communications API. While the port
// is open one overlapped WaitCommEvent is always pending; QWinEventNotifier
// brings its completion into the window's event loop, with the line events
// that happened and whether bytes arrived. The bytes are then read with an
// overlapped ReadFile that returns at once with whatever is waiting.
#include "capture/serialdevice.h"

#include "capture/eventmessages.h"

#include <QWinEventNotifier>

#include <array>
#include <windows.h>

namespace {

constexpr DWORD watchedEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr DWORD readChunk = 64 * 1024;

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

// An OVERLAPPED with its own manual-reset event.
struct Overlapped : OVERLAPPED
{
    Overlapped() : OVERLAPPED{} { hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(hEvent); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
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

} // namespace

struct SerialDevice::Native
{
    explicit Native(SerialDevice &owner) : device(owner) {}

    bool waitForEvents();
    void reportEvents();
    bool readWaiting(DWORD queued);
    void lose();
    void close();

    SerialDevice &device;
    HANDLE port = INVALID_HANDLE_VALUE;
    DCB settings{};
    Overlapped waitOverlapped;
    Overlapped readOverlapped;
    DWORD events = 0; // written by the pending WaitCommEvent
    QWinEventNotifier notifier;
    QByteArray received;
};

bool SerialDevice::Native::waitForEvents()
{
    ResetEvent(waitOverlapped.hEvent);
    // Completed at once or pending, the event is set when it is done.
    return WaitCommEvent(port, &events, &waitOverlapped) || GetLastError() == ERROR_IO_PENDING;
}

void SerialDevice::Native::reportEvents()
{
    DWORD unused = 0;
    DWORD errors = 0;
    COMSTAT status{};
    // A wait or a read that ends in an error: the port went away.
    if (!GetOverlappedResult(port, &waitOverlapped, &unused, FALSE) ||
        !ClearCommError(port, &errors, &status) || !readWaiting(status.cbInQue)) {
        lose();
        return;
    }
    const DWORD happened = events;
    // Each report may lead the window to stop logging, closing the port.
    const auto stillOpen = [this] { return port != INVALID_HANDLE_VALUE; };
    if (!received.isEmpty())
        emit device.received();
    for (const auto &[event, code] : lineEvents) {
        if ((happened & event) && stillOpen())
            emit device.lineEvent(code);
    }
    if (((happened & EV_BREAK) || (errors & CE_BREAK)) && stillOpen())
        emit device.lineEvent(EventCode::Break);
    bool named = false;
    for (const auto &[error, code] : lineErrors) {
        if ((errors & error) && stillOpen()) {
            emit device.lineEvent(code);
            named = true;
        }
    }
    // A driver may signal an error without saying which (Wine does).
    if ((happened & EV_ERR) && !named && stillOpen())
        emit device.lineEvent(0);
    if (stillOpen() && !waitForEvents())
        lose();
}

// Reads the bytes the driver holds; false when the port has failed. Only
// what is there is asked for, so that no read has to wait.
bool SerialDevice::Native::readWaiting(DWORD queued)
{
    while (queued > 0) {
        const DWORD want = qMin(queued, readChunk);
        const qsizetype before = received.size();
        received.resize(before + want);
        DWORD got = 0;
        ResetEvent(readOverlapped.hEvent);
        const bool started =
            ReadFile(port, received.data() + before, want, nullptr, &readOverlapped) ||
            GetLastError() == ERROR_IO_PENDING;
        const bool ok = started && GetOverlappedResult(port, &readOverlapped, &got, TRUE);
        received.resize(before + (ok ? qsizetype(got) : 0));
        if (!ok || got == 0)
            return ok;
        queued -= qMin(got, queued);
    }
    return true;
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
    if (port == INVALID_HANDLE_VALUE)
        return;
    // A new mask ends the pending wait (CancelIo alone does not, under
    // Wine); it must be over before its OVERLAPPED may go.
    SetCommMask(port, 0);
    CancelIo(port);
    DWORD unused = 0;
    GetOverlappedResult(port, &waitOverlapped, &unused, TRUE);
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    ResetEvent(waitOverlapped.hEvent);
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
    m_native->notifier.setHandle(m_native->waitOverlapped.hEvent);
    connect(&m_native->notifier, &QWinEventNotifier::activated, this,
            [this] { m_native->reportEvents(); });
}

SerialDevice::~SerialDevice()
{
    m_native->close();
}

bool SerialDevice::open(const QString &path, Settings settings)
{
    Native &n = *m_native;
    n.close();
    // Read and write access, as waiting for comm events needs on some
    // drivers (and under Wine); nothing is ever written.
    n.port =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (n.port == INVALID_HANDLE_VALUE)
        return false;
    if (settings == Settings::Capture) {
        DCB current{};
        current.DCBlength = sizeof current;
        if (!GetCommState(n.port, &current)) {
            n.close();
            return false;
        }
        n.settings = current;
    }
    DCB dcb = forRawReading(n.settings);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0}; // a read returns at once with what is there
    if (!SetCommState(n.port, &dcb) || !SetCommTimeouts(n.port, &immediate) ||
        !SetCommMask(n.port, watchedEvents) || !n.waitForEvents()) {
        n.close();
        return false;
    }
    n.notifier.setEnabled(true);
    return true;
}

void SerialDevice::close()
{
    m_native->close();
}

bool SerialDevice::isOpen() const
{
    return m_native->port != INVALID_HANDLE_VALUE;
}

QByteArray SerialDevice::readAll()
{
    return std::exchange(m_native->received, QByteArray());
}
