#pragma once

#include "capture/win32comm.h"

#include <QByteArray>

#include <memory>

// One overlapped request on a COM port at a time (a WaitCommEvent or a
// ReadFile): its OVERLAPPED with a manual-reset event, and the memory the
// driver writes into until the request has ended.
//
// The window's thread never waits on the driver without a bound: a request
// the driver does not end in time is cancelled, and one that even the
// cancel does not end is left to the driver, with the memory it writes
// into, never freed; a new one takes its place.
class CommRequest
{
public:
    // How a request ended: ERROR_SUCCESS or why not, and the bytes it moved
    // (one that failed may have moved some). ERROR_IO_INCOMPLETE: not yet.
    struct Result
    {
        DWORD error = ERROR_SUCCESS;
        DWORD transferred = 0;
    };

    explicit CommRequest(DWORD bufferSize = 0);
    ~CommRequest();
    CommRequest(const CommRequest &) = delete;
    CommRequest &operator=(const CommRequest &) = delete;

    // For the next request: its event reset, the event mask cleared.
    OVERLAPPED *prepare();
    // The request was issued: pending until its result is collected.
    void issued() { m_pending = true; }
    bool isPending() const { return m_pending; }

    HANDLE event() const;
    DWORD *events(); // what a WaitCommEvent reports
    char *buffer();  // what a ReadFile fills
    DWORD bufferSize() const;

    // Its result if it has ended, without waiting. Woken before it ended
    // (a spurious signal), the event is reset, so that the next wake is
    // the driver's.
    Result poll(const Win32Comm &api, HANDLE port);
    // Waits, within the bound, for it to end, then cancels it. A request
    // that ended during the cancel gives its own result; one that the
    // cancel ended, or that did not end, gives ERROR_TIMEOUT.
    Result finish(const Win32Comm &api, HANDLE port);
    // CancelIoEx on its own OVERLAPPED, then a bounded wait for it to end.
    Result cancel(const Win32Comm &api, HANDLE port);

private:
    struct Block; // the OVERLAPPED and the memory, handed to the driver
    Result collect(const Win32Comm &api, HANDLE port);
    Result waitForEnd(const Win32Comm &api, HANDLE port);

    std::unique_ptr<Block> m_block;
    bool m_pending = false; // issued, and its result not yet collected
};
