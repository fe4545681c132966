#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// Debian's mosquitto, started by the test on a free port with a
// configuration of the test's own; the same port again after a restart.
class TestBroker
{
public:
    explicit TestBroker(const QString &dir) : m_dir(dir) {}
    ~TestBroker() { stop(); }
    // Extra lines for its listener (TLS, passwords); false if it never listened.
    bool start(const QStringList &listenerLines = {});
    void stop();
    // Stops answering, its connections left open.
    void freeze();
    int port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QString m_dir;
    QStringList m_lines;
    QProcess m_process;
    int m_port = 0;
};

// mosquitto_sub on every topic, MQTT 5, QoS 1: each message's position and
// generation properties (-1 and empty without them) and payload; for a JSON
// line, its fields instead, the line's exact bytes as the payload.
class TestSubscriber
{
public:
    struct Message
    {
        qint64 position = -1;
        QByteArray payload;
        QByteArray generation;
        QByteArray topic;
    };

    ~TestSubscriber() { stop(); }
    // Returns once a probe message published after it has come back: from
    // then on nothing published is missed.
    bool start(int port, const QStringList &options = {});
    void stop();
    // The lines that have come: probes, status and events left out.
    const QList<Message> &messages();
    // The payloads on the topic that ends so (/status, /events).
    QByteArrayList payloadsOn(const QByteArray &topicEnd);

private:
    QProcess m_process;
    QByteArray m_partial;
    QList<Message> m_messages;
    QList<Message> m_others;
    int m_probes = 0;
};
