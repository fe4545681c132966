#include "windows/scripteddriver.h"

namespace {

// The one port the driver has; any other handle is not its.
HANDLE const portHandle = reinterpret_cast<HANDLE>(0x7a3c);
constexpr LONG_PTR statusCancelled = LONG_PTR(0xC0000120L);

} // namespace

ScriptedDriver *ScriptedDriver::s_current = nullptr;

struct ScriptedDriver::Hooks
{
    static HANDLE WINAPI createFile(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                    HANDLE)
    {
        return s_current->createFile(name);
    }
    static BOOL WINAPI getCommState(HANDLE h, DCB *dcb) { return s_current->getCommState(h, dcb); }
    static BOOL WINAPI setCommState(HANDLE h, DCB *dcb) { return s_current->setCommState(h, dcb); }
    static BOOL WINAPI getCommTimeouts(HANDLE h, COMMTIMEOUTS *t)
    {
        return s_current->getCommTimeouts(h, t);
    }
    static BOOL WINAPI setCommTimeouts(HANDLE h, COMMTIMEOUTS *t)
    {
        return s_current->setCommTimeouts(h, t);
    }
    static BOOL WINAPI setCommMask(HANDLE h, DWORD mask) { return s_current->setCommMask(h, mask); }
    static BOOL WINAPI waitCommEvent(HANDLE h, DWORD *mask, OVERLAPPED *o)
    {
        return s_current->waitCommEvent(h, mask, o);
    }
    static BOOL WINAPI clearCommError(HANDLE h, DWORD *errors, COMSTAT *status)
    {
        return s_current->clearCommError(h, errors, status);
    }
    static BOOL WINAPI readFile(HANDLE h, void *buffer, DWORD want, DWORD *, OVERLAPPED *o)
    {
        return s_current->readFile(h, buffer, want, o);
    }
    static BOOL WINAPI getOverlappedResult(HANDLE h, OVERLAPPED *o, DWORD *n, BOOL wait)
    {
        return s_current->getOverlappedResult(h, o, n, wait);
    }
    static BOOL WINAPI cancelIoEx(HANDLE h, OVERLAPPED *o) { return s_current->cancelIoEx(h, o); }
    static BOOL WINAPI closeHandle(HANDLE h) { return s_current->closeHandle(h); }
};

ScriptedDriver::ScriptedDriver() : m_system(win32Comm())
{
    s_current = this;
    Win32Comm &api = win32Comm();
    api.createFile = &Hooks::createFile;
    api.getCommState = &Hooks::getCommState;
    api.setCommState = &Hooks::setCommState;
    api.getCommTimeouts = &Hooks::getCommTimeouts;
    api.setCommTimeouts = &Hooks::setCommTimeouts;
    api.setCommMask = &Hooks::setCommMask;
    api.waitCommEvent = &Hooks::waitCommEvent;
    api.clearCommError = &Hooks::clearCommError;
    api.readFile = &Hooks::readFile;
    api.getOverlappedResult = &Hooks::getOverlappedResult;
    api.cancelIoEx = &Hooks::cancelIoEx;
    api.closeHandle = &Hooks::closeHandle;
}

ScriptedDriver::~ScriptedDriver()
{
    if (m_open)
        m_misuse.append(QStringLiteral("the port was never closed"));
    win32Comm() = m_system;
    s_current = nullptr;
}

DCB ScriptedDriver::configuredState()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    // What raw reading turns off: the port must get it back at close.
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fNull = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    return dcb;
}

DCB ScriptedDriver::factoryState()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.fBinary = TRUE;
    return dcb;
}

COMMTIMEOUTS ScriptedDriver::configuredTimeouts()
{
    return {50, 10, 1000, 0, 0};
}

void ScriptedDriver::send(const QByteArray &bytes)
{
    if (!m_open || !m_plugged)
        return; // nobody listens: the bytes are gone
    const bool wasEmpty = m_queue.isEmpty();
    m_queue += bytes;
    if (m_keepsHistory || wasEmpty)
        signal(EV_RXCHAR);
}

void ScriptedDriver::signal(DWORD events, DWORD errors)
{
    if (!m_open || !m_plugged)
        return;
    if (m_keepsHistory || m_pendingWait)
        m_history |= events;
    m_errors |= errors;
    endWait();
}

void ScriptedDriver::unplug(DWORD error, DWORD pendingError)
{
    m_plugged = false;
    m_unpluggedError = error;
    m_queue.clear();
    endAll(pendingError);
}

void ScriptedDriver::plugIn()
{
    m_plugged = true;
    m_dcb = factoryState();
}

void ScriptedDriver::abortWaits(int count)
{
    m_waitsToAbort = count;
    if (m_pendingWait && m_waitsToAbort-- > 0) {
        *m_requests[m_pendingWait].mask = 0;
        end(m_pendingWait, ERROR_OPERATION_ABORTED);
    }
}

void ScriptedDriver::endWaitsEmpty(int count)
{
    m_emptyWaits = count;
    if (m_pendingWait && m_emptyWaits-- > 0) {
        *m_requests[m_pendingWait].mask = 0;
        end(m_pendingWait, ERROR_SUCCESS);
    }
}

void ScriptedDriver::behave()
{
    m_failures.clear();
    m_before.clear();
    m_waitsToAbort = 0;
    m_emptyWaits = 0;
    m_readAnswer = ReadAnswer::AtOnce;
    m_readLimit = MAXDWORD;
    m_readFailure = {ERROR_SUCCESS, 0};
    m_stuck = false;
    m_keepsHistory = true;
}

void ScriptedDriver::failNext(Call call, DWORD error, int skip)
{
    m_failures[call] = {error, skip};
}

bool ScriptedDriver::fails(Call call)
{
    const auto failure = m_failures.find(call);
    if (failure == m_failures.end())
        return false;
    if (failure->second.second-- > 0)
        return false;
    SetLastError(failure->second.first);
    m_failures.erase(failure);
    return true;
}

void ScriptedDriver::runBefore(Call call)
{
    const auto found = m_before.find(call);
    if (found == m_before.end())
        return;
    const std::function<void()> action = std::move(found->second);
    m_before.erase(found);
    action();
}

// What a read of want bytes takes from the queue into buffer.
DWORD ScriptedDriver::hand(void *buffer, DWORD want)
{
    const DWORD n = qMin(qMin(want, m_readLimit), DWORD(m_queue.size()));
    memcpy(buffer, m_queue.constData(), n);
    m_delivered.append(m_queue.constData(), n);
    m_queue.remove(0, n);
    return n;
}

bool ScriptedDriver::usable(HANDLE handle, const char *call)
{
    if (handle != portHandle || !m_open) {
        m_misuse.append(QStringLiteral("%1 on a handle that is not open").arg(QLatin1String(call)));
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!m_plugged) {
        SetLastError(m_unpluggedError);
        return false;
    }
    return true;
}

// As the I/O manager ends a request: its status and count in the OVERLAPPED,
// the event set.
void ScriptedDriver::end(OVERLAPPED *overlapped, DWORD error, DWORD transferred)
{
    Request &request = m_requests[overlapped];
    request.done = true;
    request.error = error;
    request.transferred = transferred;
    overlapped->Internal = error == ERROR_SUCCESS ? 0 : statusCancelled;
    overlapped->InternalHigh = transferred;
    if (m_pendingWait == overlapped)
        m_pendingWait = nullptr;
    SetEvent(overlapped->hEvent);
}

void ScriptedDriver::endWait()
{
    if (!m_pendingWait || !(m_history & m_mask))
        return;
    OVERLAPPED *wait = m_pendingWait;
    *m_requests[wait].mask = m_history & m_mask;
    m_history &= ~m_mask;
    end(wait, ERROR_SUCCESS);
}

void ScriptedDriver::endAll(DWORD error)
{
    for (auto &[overlapped, request] : m_requests) {
        if (!request.done) {
            if (request.isWait)
                *request.mask = 0;
            end(overlapped, error);
        }
    }
}

HANDLE ScriptedDriver::createFile(LPCWSTR)
{
    if (fails(Call::CreateFile))
        return INVALID_HANDLE_VALUE;
    if (!m_plugged) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (m_open) {
        SetLastError(ERROR_ACCESS_DENIED); // busy
        return INVALID_HANDLE_VALUE;
    }
    m_open = true;
    ++m_opens;
    m_queue.clear();
    m_history = 0;
    m_errors = 0;
    m_mask = 0;
    return portHandle;
}

BOOL ScriptedDriver::getCommState(HANDLE handle, DCB *dcb)
{
    if (!usable(handle, "GetCommState"))
        return FALSE;
    *dcb = m_dcb;
    return TRUE;
}

BOOL ScriptedDriver::setCommState(HANDLE handle, DCB *dcb)
{
    if (!usable(handle, "SetCommState") || fails(Call::SetCommState))
        return FALSE;
    m_dcb = *dcb;
    return TRUE;
}

BOOL ScriptedDriver::getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    if (!usable(handle, "GetCommTimeouts"))
        return FALSE;
    *timeouts = m_timeouts;
    return TRUE;
}

BOOL ScriptedDriver::setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    if (!usable(handle, "SetCommTimeouts"))
        return FALSE;
    m_timeouts = *timeouts;
    return TRUE;
}

BOOL ScriptedDriver::setCommMask(HANDLE handle, DWORD mask)
{
    if (!usable(handle, "SetCommMask") || fails(Call::SetCommMask))
        return FALSE;
    m_mask = mask;
    // A new mask ends the pending wait, with no events.
    if (m_pendingWait && !m_stuck) {
        *m_requests[m_pendingWait].mask = 0;
        end(m_pendingWait, ERROR_SUCCESS);
    }
    return TRUE;
}

BOOL ScriptedDriver::waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped)
{
    runBefore(Call::WaitCommEvent);
    if (!usable(handle, "WaitCommEvent") || fails(Call::WaitCommEvent))
        return FALSE;
    if (!overlapped) {
        m_misuse.append(QStringLiteral("WaitCommEvent without an OVERLAPPED blocks"));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (m_pendingWait) {
        m_misuse.append(QStringLiteral("WaitCommEvent while another is pending"));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto known = m_requests.find(overlapped);
    if (known != m_requests.end() && !known->second.done)
        m_misuse.append(QStringLiteral("WaitCommEvent on an OVERLAPPED still in use"));
    m_requests[overlapped] = Request{.isWait = true, .mask = mask};
    m_pendingWait = overlapped;
    if (m_waitsToAbort > 0) {
        --m_waitsToAbort;
        *mask = 0;
        end(overlapped, ERROR_OPERATION_ABORTED);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (m_emptyWaits > 0) {
        --m_emptyWaits;
        *mask = 0;
        end(overlapped, ERROR_SUCCESS);
        return TRUE;
    }
    if (!m_keepsHistory)
        m_history = 0;
    if (m_history & m_mask) {
        endWait();
        return TRUE;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL ScriptedDriver::clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status)
{
    runBefore(Call::ClearCommError);
    if (!usable(handle, "ClearCommError") || fails(Call::ClearCommError))
        return FALSE;
    if (errors)
        *errors = std::exchange(m_errors, 0);
    if (status) {
        *status = COMSTAT{};
        status->cbInQue = DWORD(m_queue.size());
    }
    return TRUE;
}

BOOL ScriptedDriver::readFile(HANDLE handle, void *buffer, DWORD want, OVERLAPPED *overlapped)
{
    if (!usable(handle, "ReadFile") || fails(Call::ReadFile))
        return FALSE;
    if (!overlapped) {
        m_misuse.append(QStringLiteral("ReadFile without an OVERLAPPED"));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto known = m_requests.find(overlapped);
    if (known != m_requests.end() && !known->second.done)
        m_misuse.append(QStringLiteral("ReadFile on an OVERLAPPED still in use"));
    m_requests[overlapped] = Request{.answer = m_readAnswer, .buffer = buffer, .want = want};
    if (const auto [error, bytes] = std::exchange(m_readFailure, {}); error != ERROR_SUCCESS) {
        end(overlapped, error, hand(buffer, qMin(want, bytes)));
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (m_readAnswer == ReadAnswer::SignalledEarly)
        SetEvent(overlapped->hEvent);
    if (m_readAnswer == ReadAnswer::Never || m_readAnswer == ReadAnswer::EndsAtCancel ||
        m_readAnswer == ReadAnswer::SignalledEarly) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    end(overlapped, ERROR_SUCCESS, hand(buffer, want));
    if (m_readAnswer == ReadAnswer::PendingThenDone) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return TRUE;
}

BOOL ScriptedDriver::getOverlappedResult(HANDLE handle, OVERLAPPED *overlapped, DWORD *transferred,
                                         BOOL wait)
{
    const auto known = m_requests.find(overlapped);
    if (handle != portHandle || known == m_requests.end()) {
        // A real call waits on an event nobody sets, or reports stale results.
        m_misuse.append(QStringLiteral("GetOverlappedResult for a request that is not pending"));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!known->second.done) {
        if (wait) // nothing can end it while the caller's thread waits
            m_misuse.append(QStringLiteral("GetOverlappedResult waits for a request nothing ends"));
        // Signalled early, it ends just after this look.
        if (const Request r = known->second; r.answer == ReadAnswer::SignalledEarly)
            end(overlapped, ERROR_SUCCESS, hand(r.buffer, r.want));
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    const Request request = known->second;
    m_requests.erase(known);
    *transferred = request.transferred;
    if (request.error != ERROR_SUCCESS) {
        SetLastError(request.error);
        return FALSE;
    }
    return TRUE;
}

BOOL ScriptedDriver::cancelIoEx(HANDLE handle, OVERLAPPED *overlapped)
{
    if (handle != portHandle || !m_open) {
        m_misuse.append(QStringLiteral("CancelIoEx on a handle that is not open"));
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto known = m_requests.find(overlapped);
    if (known == m_requests.end() || known->second.done) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (!m_stuck) {
        if (known->second.isWait)
            *known->second.mask = 0;
        if (const Request r = known->second; r.answer == ReadAnswer::EndsAtCancel)
            end(overlapped, ERROR_SUCCESS, hand(r.buffer, r.want)); // ended as the cancel came
        else
            end(overlapped, ERROR_OPERATION_ABORTED);
    }
    return TRUE;
}

BOOL ScriptedDriver::closeHandle(HANDLE handle)
{
    if (handle != portHandle || !m_open) {
        m_misuse.append(QStringLiteral("CloseHandle on a handle that is not open"));
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Requests still pending end now, written into memory the layer must
    // not have freed.
    endAll(ERROR_OPERATION_ABORTED);
    m_open = false;
    return TRUE;
}
