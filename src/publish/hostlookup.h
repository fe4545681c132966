#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QTimer;

// The broker's name looked up away from the event loop. libmosquitto looks
// it up again itself when it connects, blocking; after a lookup that has
// just answered, the answer comes at once (from a cache, or from a server
// that is there), while a name server that does not answer would hold the
// window, and the serial port's reading, for many seconds.
class HostLookup : public QObject
{
    Q_OBJECT

public:
    explicit HostLookup(QObject *parent = nullptr);
    ~HostLookup() override;

    // finished() tells the outcome; a lookup still running is given up.
    void start(const QString &host);
    void cancel();

    struct Request; // one file per platform

signals:
    void finished(bool found, const QString &error);

private:
    void check();

    struct Free // in the platform's file, where Request is whole
    {
        void operator()(Request *request) const;
    };
    std::unique_ptr<Request, Free> m_request;
    QTimer *m_timer = nullptr;
};
