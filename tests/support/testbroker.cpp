#include "support/testbroker.h"

#include "support/eventloop.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

namespace {

const QByteArray probePayload = "probe";

// A JSON line read as a consumer reads it: the exact bytes when they are
// given, else the line's text.
void readJson(TestSubscriber::Message &message)
{
    const QJsonObject json = QJsonDocument::fromJson(message.payload).object();
    if (!json.contains(QStringLiteral("position")))
        return;
    message.position = json.value(QStringLiteral("position")).toInteger(-1);
    message.generation = json.value(QStringLiteral("generation")).toString().toLatin1();
    message.payload =
        json.contains(QStringLiteral("bytes"))
            ? QByteArray::fromBase64(json.value(QStringLiteral("bytes")).toString().toLatin1())
            : json.value(QStringLiteral("line")).toString().toUtf8();
}

bool listens(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    return socket.waitForConnected(200);
}

} // namespace

bool TestBroker::start(const QStringList &listenerLines)
{
    if (m_port == 0) {
        QTcpServer probe; // a port nobody has: the system's choice
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        m_lines = listenerLines;
    }
    const QString config = QDir(m_dir).filePath(QStringLiteral("broker-%1.conf").arg(m_port));
    QFile file(config);
    file.open(QIODevice::WriteOnly);
    file.write(QStringLiteral("listener %1 127.0.0.1\n").arg(m_port).toUtf8());
    for (const QString &line : m_lines)
        file.write(line.toUtf8() + '\n');
    // A backlog comes faster than a subscriber prints it: the broker must
    // not drop what it queues for the subscriber (1000 by default). Not 0,
    // "no limit", with which Mosquitto 2.0 drops a client whose message it
    // refuses.
    file.write("max_queued_messages 10000000\nlog_type error\nlog_type warning\n");
    // Started as root it would become user mosquitto, who may not read the test's files.
    file.write("user " + QByteArray(::getpwuid(::getuid())->pw_name) + '\n');
    if (!m_lines.join(u'\n').contains(QStringLiteral("password_file")))
        file.write("allow_anonymous true\n");
    file.close();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config});
    return waitUntil([&] { return listens(m_port); }, 10000);
}

void TestBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill(); // no goodbye to the clients: as a crash or a pulled cable
    m_process.waitForFinished();
}

void TestBroker::freeze()
{
    ::kill(pid_t(m_process.processId()), SIGSTOP);
}

bool TestSubscriber::start(int port, const QStringList &options)
{
    stop();
    const QStringList common = QStringList{QStringLiteral("-p"), QString::number(port)} + options;
    // Line-buffered: a message it printed must not die with it in its buffer.
    m_process.start(QStringLiteral("stdbuf"),
                    QStringLiteral("-oL mosquitto_sub -t # -V 5 -q 1 -F").split(u' ') +
                        QStringList{QStringLiteral("%t %P %x")} + common);
    const int probes = ++m_probes;
    int tries = 0;
    return waitUntil(
        [&] {
            if (tries++ % 50 == 0) // one probe every half a second or so
                QProcess::execute(QStringLiteral("mosquitto_pub"),
                                  QStringLiteral("-t probe -m ").split(u' ', Qt::SkipEmptyParts) +
                                      QStringList{QString::fromLatin1(probePayload)} + common);
            messages();
            return m_probes > probes; // counted in messages()
        },
        10000);
}

void TestSubscriber::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
    messages();
}

const QList<TestSubscriber::Message> &TestSubscriber::messages()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        const QByteArray line = m_partial.left(end);
        m_partial.remove(0, end + 1);
        const qsizetype space = line.lastIndexOf(' ');
        const qsizetype topicEnd = line.indexOf(' ');
        Message message{-1, QByteArray::fromHex(line.mid(space + 1)), {}, line.left(topicEnd)};
        if (message.topic.endsWith("/status") || message.topic.endsWith("/events")) {
            m_others.append(message);
            continue;
        }
        for (const QByteArray &property : line.mid(topicEnd, space - topicEnd).split(' ')) {
            if (property.startsWith("position:"))
                message.position = property.mid(9).toLongLong();
            if (property.startsWith("generation:"))
                message.generation = property.mid(11);
        }
        if (message.payload.startsWith('{'))
            readJson(message);
        if (message.position < 0 && message.payload == probePayload)
            ++m_probes;
        else
            m_messages.append(message);
    }
    return m_messages;
}

QByteArrayList TestSubscriber::payloadsOn(const QByteArray &topicEnd)
{
    messages();
    QByteArrayList payloads;
    for (const Message &message : m_others)
        if (message.topic.endsWith(topicEnd))
            payloads << message.payload;
    return payloads;
}
