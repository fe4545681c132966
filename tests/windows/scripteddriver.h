#pragma once

#include "capture/win32comm.h"

#include <QByteArray>
#include <QStringList>

#include <functional>
#include <map>

// A COM port driver made of a script: while it lives, the port layer's
// Win32 calls reach it instead of the system. It answers them as a Windows
// driver does (an event history that ends a wait at once or later, errors
// latched until ClearCommError, SetCommMask ending a pending wait, a removed
// adapter failing every call) or as told, and records every call a real
// driver would have hung on or refused. It never blocks.
class ScriptedDriver
{
public:
    enum class Call {
        CreateFile,
        SetCommState,
        SetCommMask,
        WaitCommEvent,
        ClearCommError,
        ReadFile
    };
    enum class ReadAnswer {
        AtOnce,          // ReadFile returns with the bytes
        PendingThenDone, // ERROR_IO_PENDING, ended by the time it is waited for
        Never,           // pending until cancelled
        EndsAtCancel,    // pending until cancelled, then ended with the bytes
        SignalledEarly,  // its event set while pending; ended at the next look
    };

    ScriptedDriver();
    ~ScriptedDriver();
    ScriptedDriver(const ScriptedDriver &) = delete;
    ScriptedDriver &operator=(const ScriptedDriver &) = delete;

    // The device.
    void send(const QByteArray &bytes);
    void signal(DWORD events, DWORD errors = 0);
    // The settings the port was left with (as `mode COM3` sets them), and
    // those a replugged adapter comes back with.
    static DCB configuredState();
    static DCB factoryState();
    // Pending requests end with pendingError; every later call on the
    // handle fails with error, and opening fails until plugIn().
    void unplug(DWORD error = ERROR_BAD_COMMAND, DWORD pendingError = ERROR_OPERATION_ABORTED);
    // Back, at the driver's default settings.
    void plugIn();

    // How calls are answered from now on.
    void failNext(Call call, DWORD error, int skip = 0);
    void setReadAnswer(ReadAnswer answer) { m_readAnswer = answer; }
    void limitReadsTo(DWORD bytes) { m_readLimit = bytes; }
    // The next read ends with error after handing over up to bytes bytes.
    void failNextRead(DWORD error, DWORD bytes) { m_readFailure = {error, bytes}; }
    // Runs once, just before the next such call answers.
    void before(Call call, std::function<void()> action) { m_before[call] = std::move(action); }
    void beforeClearCommError(std::function<void()> action)
    {
        before(Call::ClearCommError, std::move(action));
    }
    // The pending wait and the next count-1 ones end with
    // ERROR_OPERATION_ABORTED, as on a driver that aborts on line errors.
    void abortWaits(int count);
    // As abortWaits, but ended successfully, with no event.
    void endWaitsEmpty(int count);
    // Without it, events while no wait is pending are lost, and EV_RXCHAR
    // comes only when the queue stops being empty.
    void keepEventHistory(bool keep) { m_keepsHistory = keep; }
    // SetCommMask(0) and CancelIoEx no longer end a pending request.
    void setStuck(bool stuck) { m_stuck = stuck; }
    // Answers as a working driver again: no failure, abort, empty wait or
    // action waiting, reads whole and at once, cancelled requests ended.
    void behave();

    // What the layer did.
    bool isOpen() const { return m_open; }
    bool isPlugged() const { return m_plugged; }
    int opens() const { return m_opens; }
    DCB state() const { return m_dcb; }
    // Every byte a ReadFile has handed over, in order.
    const QByteArray &delivered() const { return m_delivered; }
    COMMTIMEOUTS timeouts() const { return m_timeouts; }
    static COMMTIMEOUTS configuredTimeouts();
    // Calls a real driver would have hung on, or that break its contract.
    const QStringList &misuse() const { return m_misuse; }

private:
    struct Hooks; // the system's signatures, calling into the driver in use

    struct Request
    {
        bool isWait = false;
        bool done = false;
        DWORD error = ERROR_SUCCESS;
        DWORD transferred = 0;
        DWORD *mask = nullptr;
        ReadAnswer answer = ReadAnswer::AtOnce; // a read's
        void *buffer = nullptr;
        DWORD want = 0;
    };

    bool fails(Call call);
    void runBefore(Call call);
    DWORD hand(void *buffer, DWORD want);
    bool usable(HANDLE handle, const char *call);
    void end(OVERLAPPED *overlapped, DWORD error, DWORD transferred = 0);
    void endWait();
    void endAll(DWORD error);

    HANDLE createFile(LPCWSTR name);
    BOOL getCommState(HANDLE handle, DCB *dcb);
    BOOL setCommState(HANDLE handle, DCB *dcb);
    BOOL getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
    BOOL setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
    BOOL setCommMask(HANDLE handle, DWORD mask);
    BOOL waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped);
    BOOL clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status);
    BOOL readFile(HANDLE handle, void *buffer, DWORD want, OVERLAPPED *overlapped);
    BOOL getOverlappedResult(HANDLE handle, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait);
    BOOL cancelIoEx(HANDLE handle, OVERLAPPED *overlapped);
    BOOL closeHandle(HANDLE handle);

    static ScriptedDriver *s_current;
    Win32Comm m_system;

    bool m_plugged = true;
    DWORD m_unpluggedError = ERROR_BAD_COMMAND;
    bool m_open = false;
    int m_opens = 0;
    DCB m_dcb = configuredState();
    COMMTIMEOUTS m_timeouts = configuredTimeouts();
    DWORD m_mask = 0;
    DWORD m_history = 0;
    DWORD m_errors = 0;
    QByteArray m_queue;
    QByteArray m_delivered;
    std::map<OVERLAPPED *, Request> m_requests;
    OVERLAPPED *m_pendingWait = nullptr;

    std::map<Call, std::pair<DWORD, int>> m_failures; // error, calls to let through first
    ReadAnswer m_readAnswer = ReadAnswer::AtOnce;
    DWORD m_readLimit = MAXDWORD;
    std::pair<DWORD, DWORD> m_readFailure{ERROR_SUCCESS, 0}; // error, bytes
    std::map<Call, std::function<void()>> m_before;
    bool m_stuck = false;
    int m_waitsToAbort = 0;
    int m_emptyWaits = 0;
    bool m_keepsHistory = true;
    QStringList m_misuse;
};
