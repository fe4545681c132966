#include "publish/hostlookup.h"

#include <QTimer>

#include <csignal>
#include <netdb.h>
#include <vector>

// glibc's asynchronous getaddrinfo, polled while it runs.
struct HostLookup::Request
{
    QByteArray host;
    addrinfo hints{};
    gaicb control{};
};

namespace {

// Requests the library would not give up: freed once they are done.
std::vector<std::unique_ptr<HostLookup::Request>> &abandoned()
{
    static std::vector<std::unique_ptr<HostLookup::Request>> requests;
    return requests;
}

void freeFinished()
{
    std::erase_if(abandoned(), [](const auto &request) {
        if (gai_error(&request->control) == EAI_INPROGRESS)
            return false;
        if (request->control.ar_result)
            freeaddrinfo(request->control.ar_result);
        return true;
    });
}

} // namespace

void HostLookup::Free::operator()(Request *request) const
{
    delete request;
}

void HostLookup::start(const QString &host)
{
    cancel();
    freeFinished();
    m_request.reset(new Request);
    m_request->host = host.toUtf8();
    m_request->hints.ai_socktype = SOCK_STREAM;
    m_request->control.ar_name = m_request->host.constData();
    m_request->control.ar_request = &m_request->hints;
    gaicb *list[] = {&m_request->control};
    sigevent none{};
    none.sigev_notify = SIGEV_NONE;
    const int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, &none);
    if (rc != 0) {
        m_request.reset();
        QMetaObject::invokeMethod(
            this, [this, rc] { emit finished(false, QString::fromLocal8Bit(gai_strerror(rc))); },
            Qt::QueuedConnection);
        return;
    }
    m_timer->start();
}

void HostLookup::cancel()
{
    m_timer->stop();
    if (!m_request)
        return;
    if (gai_cancel(&m_request->control) == EAI_NOTCANCELED)
        abandoned().emplace_back(m_request.release());
    else if (m_request->control.ar_result)
        freeaddrinfo(m_request->control.ar_result);
    m_request.reset();
}

void HostLookup::check()
{
    const int rc = gai_error(&m_request->control);
    if (rc == EAI_INPROGRESS)
        return;
    m_timer->stop();
    if (m_request->control.ar_result)
        freeaddrinfo(m_request->control.ar_result);
    m_request.reset();
    emit finished(rc == 0, rc == 0 ? QString() : QString::fromLocal8Bit(gai_strerror(rc)));
}
