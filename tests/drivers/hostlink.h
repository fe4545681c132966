#pragma once

#include <QByteArray>

// The guest's end of the request channel (see protocol.h). While it waits
// for an answer the event loop runs, so the window keeps reading the data
// the host is sending.
class HostLink
{
public:
    HostLink() = default;
    ~HostLink();
    HostLink(const HostLink &) = delete;
    HostLink &operator=(const HostLink &) = delete;

    bool open();
    // The answer line without its line end; empty when none came in time.
    QByteArray request(const QByteArray &line, int timeoutMs = 180000);

private:
    int m_fd = -1;
    QByteArray m_received;
};

// The channel main() opened; null when there is none.
extern HostLink *host;
