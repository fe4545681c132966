#include "capture/commrequest_win.h"

#include <QDeadlineTimer>

namespace {

// A read asked for what is waiting, or a cancelled request, ends at once on
// a working driver; this is how long one that does not may hold the window.
constexpr int driverGraceMs = 1000;

} // namespace

struct CommRequest::Block : OVERLAPPED
{
    explicit Block(DWORD bufferSize) : OVERLAPPED{}, buffer(qsizetype(bufferSize), '\0')
    {
        hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Block() { CloseHandle(hEvent); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;

    DWORD events = 0;
    QByteArray buffer;
};

CommRequest::CommRequest(DWORD bufferSize) : m_block(std::make_unique<Block>(bufferSize)) {}

CommRequest::~CommRequest()
{
    if (m_pending)
        (void)m_block.release(); // the driver may still write into it
}

OVERLAPPED *CommRequest::prepare()
{
    ResetEvent(m_block->hEvent);
    m_block->events = 0;
    return m_block.get();
}

HANDLE CommRequest::event() const
{
    return m_block->hEvent;
}

DWORD *CommRequest::events()
{
    return &m_block->events;
}

char *CommRequest::buffer()
{
    return m_block->buffer.data();
}

DWORD CommRequest::bufferSize() const
{
    return DWORD(m_block->buffer.size());
}

CommRequest::Result CommRequest::collect(const Win32Comm &api, HANDLE port)
{
    Result result;
    if (!api.getOverlappedResult(port, m_block.get(), &result.transferred, FALSE))
        result.error = GetLastError();
    if (result.error != ERROR_IO_INCOMPLETE)
        m_pending = false;
    return result;
}

CommRequest::Result CommRequest::poll(const Win32Comm &api, HANDLE port)
{
    if (!m_pending)
        return {ERROR_INVALID_HANDLE, 0};
    const Result result = collect(api, port);
    if (result.error != ERROR_IO_INCOMPLETE)
        return result;
    // Unless it ended just now, between the look and the reset.
    ResetEvent(m_block->hEvent);
    return collect(api, port);
}

CommRequest::Result CommRequest::waitForEnd(const Win32Comm &api, HANDLE port)
{
    const QDeadlineTimer deadline(driverGraceMs);
    for (;;) {
        const Result result = poll(api, port);
        if (result.error != ERROR_IO_INCOMPLETE)
            return result;
        const DWORD left = DWORD(qMax<qint64>(deadline.remainingTime(), 0));
        if (left == 0 || WaitForSingleObject(m_block->hEvent, left) != WAIT_OBJECT_0)
            return poll(api, port);
    }
}

CommRequest::Result CommRequest::finish(const Win32Comm &api, HANDLE port)
{
    const Result result = waitForEnd(api, port);
    if (result.error != ERROR_IO_INCOMPLETE)
        return result;
    Result cancelled = cancel(api, port);
    if (cancelled.error == ERROR_OPERATION_ABORTED)
        cancelled.error = ERROR_TIMEOUT; // ended by the cancel, not by the driver
    return cancelled;
}

CommRequest::Result CommRequest::cancel(const Win32Comm &api, HANDLE port)
{
    if (!m_pending)
        return {};
    api.cancelIoEx(port, m_block.get());
    const Result result = waitForEnd(api, port);
    if (result.error != ERROR_IO_INCOMPLETE)
        return result;
    const DWORD size = bufferSize();
    (void)m_block.release();
    m_block = std::make_unique<Block>(size);
    m_pending = false;
    return {ERROR_TIMEOUT, 0};
}
