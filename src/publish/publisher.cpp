#include "publish/publisher.h"

#include "publish/cursorfile.h"
#include "publish/payloadformat.h"

#include <QTimer>

namespace {

constexpr int saveIntervalMs = 1000;
// A read this big means the device is ahead of the window: logging is busy
// for a while after it. Then publishing gets a slice of messages at a time.
constexpr qsizetype busyReadBytes = 1024;
constexpr int busyHoldMs = 50;
constexpr int busySliceMs = 10;
constexpr int busySliceMessages = 8;
// Refusals of one reason in a row are said one at first, then as a count.
constexpr int refusalSummaryMs = 60000;

} // namespace

Publisher::Publisher(QObject *parent)
    : QObject(parent), m_client(new MqttClient(this)), m_probe(new MqttClient(this)),
      m_saveTimer(new QTimer(this)), m_retryTimer(new QTimer(this)), m_sliceTimer(new QTimer(this)),
      m_refusalTimer(new QTimer(this)), m_returnTimer(new QTimer(this))
{
    m_saveTimer->setInterval(saveIntervalMs);
    connect(m_saveTimer, &QTimer::timeout, this, &Publisher::saveCursor);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &Publisher::connectToBroker);
    m_sliceTimer->setSingleShot(true);
    connect(m_sliceTimer, &QTimer::timeout, this, [this] {
        if (!checkShortened() && m_client->isConnected())
            sendMore();
    });
    m_refusalTimer->setSingleShot(true);
    connect(m_refusalTimer, &QTimer::timeout, this, &Publisher::sayMoreRefused);
    m_returnTimer->setInterval(returnCheckMs);
    connect(m_returnTimer, &QTimer::timeout, this, &Publisher::checkFirstBroker);
    connect(m_client, &MqttClient::connected, this, &Publisher::handleConnected);
    connect(m_client, &MqttClient::failed, this, &Publisher::handleFailure);
    connect(m_client, &MqttClient::acknowledged, this,
            [this](int messageId) { handleAnswer(messageId, {}); });
    connect(m_client, &MqttClient::refused, this, &Publisher::handleAnswer);
    connect(m_probe, &MqttClient::connected, this, &Publisher::returnToFirstBroker);
}

Publisher::~Publisher()
{
    stop();
}

QStringList Publisher::start(const PublishSettings &settings, const QString &logPath,
                             bool overwritten)
{
    stop();
    QStringList said;
    m_settings = settings;
    m_topic = settings.topic.toUtf8();
    m_statusTopic = settings.statusTopic.toUtf8();
    m_eventsTopic = settings.eventsTopic.toUtf8();
    const CursorFile::Stored stored = CursorFile(logPath).load();
    if (!m_tail.open(logPath, 0))
        return {QStringLiteral("Can't publish the log file: can't read ") + logPath};
    m_logPath = logPath;
    m_cursor = 0;
    m_generation = stored.generation;
    switch (stored.found) {
    case CursorFile::Found::Matched:
        m_cursor = stored.position;
        break;
    case CursorFile::Found::Missing:
        // Publishing starts now: the log's earlier lines are not sent.
        m_cursor = overwritten ? 0 : m_tail.size();
        break;
    case CursorFile::Found::OtherLog:
        if (!overwritten)
            said << QStringLiteral(
                "The log file is not the one last published: publishing it from its start");
        break;
    }
    if (m_generation.isEmpty() || overwritten) // positions start again
        m_generation = CursorFile::newGeneration();
    m_tail.seek(m_cursor);
    m_tail.setPieceBytes(LogTail::maxPieceBytes);
    m_expectedSize = m_tail.size();
    m_savedCursor = -1;
    m_statusMessageId = 0;
    saveCursorNow();
    m_saveTimer->start();
    m_wasConnected = m_protocolSaid = m_eventRefusalSaid = false;
    m_lastFailures.assign(settings.brokers.size(), std::nullopt);
    m_refusals = {};
    m_retryDelayMs = firstRetryMs;
    m_broker = 0;
    m_connectedBroker = -1;
    connectToBroker();
    return said;
}

void Publisher::stop()
{
    if (!isPublishing())
        return;
    m_saveTimer->stop();
    m_retryTimer->stop();
    m_sliceTimer->stop();
    m_returnTimer->stop();
    sayMoreRefused();
    // Those in flight are as good as sent: the connection ends after them.
    const qsizetype unsent = m_client->isConnected() ? 0 : m_events.unanswered();
    m_client->disconnectFromBroker(true); // the broker says "offline"
    m_probe->disconnectFromBroker();
    saveCursorNow();
    m_window.clear();
    m_events.clear();
    m_nextLogs.clear();
    m_tail.close();
    m_logPath.clear();
    if (unsent > 0 && !m_eventsTopic.isEmpty())
        emit message(
            QStringLiteral("%1 messages were not published to the events topic: the broker was "
                           "away")
                .arg(unsent));
}

void Publisher::logWritten(qsizetype bytesRead, qsizetype bytesWritten)
{
    if (!isPublishing())
        return;
    m_expectedSize += bytesWritten;
    if (bytesRead >= busyReadBytes)
        m_loggingBusy.setRemainingTime(busyHoldMs);
    // While the port delivers fast, the slices check: a system call each.
    if (m_loggingBusy.hasExpired() && checkShortened())
        return;
    if (m_client->isConnected())
        sendMore();
}

void Publisher::connectToBroker()
{
    m_client->connectTo(m_settings, m_broker);
}

void Publisher::sendMore()
{
    qsizetype budget = InFlightWindow::maxMessages;
    // Logging goes first: while the port delivers more than the window takes
    // in a turn, publishing gets a short slice now and then, and catches up
    // from the file afterwards.
    if (!m_loggingBusy.hasExpired()) {
        if (!m_nextSlice.hasExpired()) {
            if (!m_sliceTimer->isActive())
                m_sliceTimer->start(int(m_nextSlice.remainingTime()));
            return;
        }
        m_nextSlice.setRemainingTime(busySliceMs);
        budget = busySliceMessages;
    }
    while (budget > 0 && m_window.hasRoom()) {
        const auto line = nextLine();
        if (!line)
            return;
        if (m_window.isAnswered(line->position))
            continue; // answered before the connection was lost
        if (!publishLine(*line))
            return; // the connection has failed, and the line is read again after it
        --budget;
    }
}

bool Publisher::publishLine(const LogTail::Line &line)
{
    const bool json = jsonPayload();
    const auto sent = m_client->publish(
        m_topic, json ? PayloadFormat::lineJson(line.text, line.position, m_generation) : line.text,
        {false, line.position, m_generation, json});
    switch (sent.sent) {
    case MqttClient::Sent::Queued:
        m_window.sent(line, sent.messageId);
        return true;
    case MqttClient::Sent::TooLarge:
        m_window.skipped(line);
        sayRefused(line.position, QStringLiteral("larger than the broker's maximum packet size"));
        m_cursor = m_window.advance(m_cursor);
        return true;
    case MqttClient::Sent::Failed:
        break;
    }
    return false;
}

// An acknowledgement, or a refusal: the broker's answer for that line alone,
// which stays in the log.
void Publisher::handleAnswer(int messageId, const QString &refusal)
{
    if (handleOwnAnswer(messageId, refusal))
        return;
    const auto answered = m_window.answer(messageId);
    if (answered && !refusal.isEmpty())
        sayRefused(answered->position, refusal);
    m_cursor = m_window.advance(m_cursor);
    sendMore();
}

void Publisher::sayRefused(qint64 position, const QString &reason)
{
    if (reason == m_refusals.reason && m_refusalTimer->isActive()) {
        ++m_refusals.more;
        m_refusals.last = position;
        return;
    }
    sayMoreRefused();
    emit message(
        QStringLiteral("The broker refused the line at position %1: %2").arg(position).arg(reason));
    m_refusals = {reason, 0, position};
    m_refusalTimer->start(refusalSummaryMs);
}

void Publisher::sayMoreRefused()
{
    m_refusalTimer->stop();
    if (m_refusals.more > 0)
        emit message(
            QStringLiteral("The broker refused %1 more lines (%2), the last at position %3")
                .arg(m_refusals.more)
                .arg(m_refusals.reason)
                .arg(m_refusals.last));
    m_refusals.more = 0;
}
