#include "publish/hostlookup.h"

#include <QTimer>

#include <winsock2.h>
#include <ws2tcpip.h>

// Windows 8's asynchronous GetAddrInfoExW, polled while it runs; MinGW's
// headers lack these two.
extern "C" {
INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped);
INT WSAAPI GetAddrInfoExCancel(LPHANDLE handle);
}

struct HostLookup::Request
{
    std::wstring host;
    ADDRINFOEXW hints{};
    ADDRINFOEXW *result = nullptr;
    OVERLAPPED overlapped{};
    HANDLE cancelHandle = nullptr;
    bool running = false;
};

namespace {

QString errorText(int rc)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, DWORD(rc), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QString::number(rc);
    LocalFree(text);
    return message;
}

} // namespace

void HostLookup::Free::operator()(Request *request) const
{
    delete request;
}

void HostLookup::start(const QString &host)
{
    cancel();
    m_request.reset(new Request);
    m_request->host = host.toStdWString();
    m_request->hints.ai_socktype = SOCK_STREAM;
    const int rc = GetAddrInfoExW(m_request->host.c_str(), nullptr, NS_ALL, nullptr,
                                  &m_request->hints, &m_request->result, nullptr,
                                  &m_request->overlapped, nullptr, &m_request->cancelHandle);
    m_request->running = rc == WSA_IO_PENDING;
    if (!m_request->running) {                          // answered at once
        m_request->overlapped.Internal = ULONG_PTR(rc); // what check() reads back
        QMetaObject::invokeMethod(this, &HostLookup::check, Qt::QueuedConnection);
        return;
    }
    m_timer->start();
}

void HostLookup::cancel()
{
    m_timer->stop();
    if (!m_request)
        return;
    if (m_request->running) {
        GetAddrInfoExCancel(&m_request->cancelHandle);
        // The request's memory is the system's until it says it is done.
        while (GetAddrInfoExOverlappedResult(&m_request->overlapped) == WSAEINPROGRESS)
            Sleep(1);
    }
    if (m_request->result)
        FreeAddrInfoExW(m_request->result);
    m_request.reset();
}

void HostLookup::check()
{
    if (!m_request)
        return;
    const int rc = m_request->running ? GetAddrInfoExOverlappedResult(&m_request->overlapped)
                                      : int(m_request->overlapped.Internal);
    if (rc == WSAEINPROGRESS)
        return;
    m_timer->stop();
    m_request->running = false;
    if (m_request->result)
        FreeAddrInfoExW(m_request->result);
    m_request.reset();
    emit finished(rc == 0, rc == 0 ? QString() : errorText(rc));
}
