// The publisher's side of the brokers: connecting, failing over to the next
// and back to the first, the status kept on the broker, and the events.
#include "publish/payloadformat.h"
#include "publish/publisher.h"

#include <QTimer>

namespace {

constexpr int lastRetryMs = 16000;
// A connection that ends sooner had something wrong with it: the retries
// keep backing off.
constexpr int stableConnectionMs = 10000;
// A broker that takes less in one message leaves no room for a line.
constexpr qint64 minimumPiece = 64;

} // namespace

void Publisher::handleConnected()
{
    if (!fitPiecesToBroker())
        return;
    sendStatus(); // before anything else, so that "online" is first
    // Said in bytes: counting the lines would read a long backlog here.
    const qint64 bytes = m_tail.size() - m_cursor;
    const QString waiting = QStringLiteral("%1 bytes waiting").arg(bytes);
    QString said = m_connectedBroker == m_broker
                       ? QStringLiteral("Broker connection back: ") + waiting
                       : QStringLiteral("Publishing to ") + m_settings.brokers[m_broker].name() +
                             (bytes > 0 ? QStringLiteral(", ") + waiting : QString());
    if (!m_client->isVersion5() && !std::exchange(m_protocolSaid, true))
        said += QStringLiteral(" (MQTT 3.1.1: no positions, refusals not reported)");
    m_wasConnected = true;
    m_connectedBroker = m_broker;
    m_lastFailures.assign(m_lastFailures.size(), std::nullopt);
    m_connectedFor.start();
    if (m_broker > 0)
        m_returnTimer->start();
    emit message(said);
    sendEvents();
    if (!checkShortened())
        sendMore();
}

// Lines longer than the broker takes in one message go in pieces that fit.
bool Publisher::fitPiecesToBroker()
{
    qint64 piece = LogTail::maxPieceBytes;
    if (const auto fits = m_client->maximumPayload(m_topic.size()))
        piece = std::min(piece, jsonPayload() ? (*fits - PayloadFormat::jsonFixedBytes) /
                                                    PayloadFormat::jsonBytesPerLineByte
                                              : *fits);
    if (piece < minimumPiece) {
        m_client->disconnectFromBroker();
        handleFailure(MqttClient::Failure::Refused,
                      QStringLiteral("its maximum packet size leaves no room for a line"));
        return false;
    }
    if (piece != m_tail.pieceBytes()) {
        // Pieces answered before were cut otherwise: they go again.
        m_window.clear();
        m_tail.seek(m_cursor);
        m_tail.setPieceBytes(qsizetype(piece));
    }
    return true;
}

void Publisher::handleFailure(MqttClient::Failure failure, const QString &detail)
{
    forgetInFlight();
    m_returnTimer->stop();
    m_probe->disconnectFromBroker();
    std::optional<MqttClient::Failure> &last = m_lastFailures[size_t(m_broker)];
    if (m_wasConnected || last != failure) {
        const QString what = m_wasConnected ? QStringLiteral("Broker connection lost (")
                                            : QStringLiteral("Can't connect to the broker (");
        emit message(what + BrokerAnswers::reasonText(failure) + QStringLiteral("): ") +
                     m_settings.brokers[m_broker].name() +
                     (detail.isEmpty() ? QString() : QStringLiteral(", ") + detail));
    }
    // After a connection that held, the first retry comes soon again.
    if (m_wasConnected && m_connectedFor.elapsed() >= stableConnectionMs &&
        failure != MqttClient::Failure::TakenOver)
        m_retryDelayMs = firstRetryMs;
    m_wasConnected = false;
    last = failure;
    // The next broker at once; after the last, the first again in a while.
    if (++m_broker < m_settings.brokers.size()) {
        m_retryTimer->start(0);
        return;
    }
    m_broker = 0;
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, lastRetryMs);
}

// What was in flight and not answered is sent again, to this broker or the next.
void Publisher::forgetInFlight()
{
    m_window.forgetUnanswered();
    m_tail.seek(m_cursor);
    m_events.forgetSent();
    m_statusMessageId = 0;
}

void Publisher::checkFirstBroker()
{
    m_probe->connectTo(m_settings, 0, MqttClient::Role::Probe);
}

// The first broker answers again: the lines go there from the cursor on.
void Publisher::returnToFirstBroker()
{
    m_probe->disconnectFromBroker();
    m_returnTimer->stop();
    m_client->disconnectFromBroker();
    forgetInFlight();
    m_wasConnected = false;
    m_broker = 0;
    connectToBroker();
}

void Publisher::sendStatus()
{
    if (m_statusTopic.isEmpty())
        return;
    m_statusMessageId = m_client->publish(m_statusTopic, "online", {true, -1, {}, false}).messageId;
}

void Publisher::publishEvent(const QString &text)
{
    if (!isPublishing() || m_eventsTopic.isEmpty())
        return;
    m_events.add(QDateTime::currentDateTime(), text);
    if (m_client->isConnected())
        sendEvents();
}

void Publisher::sendEvents()
{
    const bool json = jsonPayload();
    while (EventQueue::Event *event = m_events.nextUnsent()) {
        const auto sent =
            m_client->publish(m_eventsTopic, PayloadFormat::event(event->time, event->text, json),
                              MqttClient::Options{false, -1, {}, json});
        // A connection that failed meanwhile has said so, and changed the queue.
        if (sent.sent != MqttClient::Sent::Queued || !m_client->isConnected())
            return;
        event->messageId = sent.messageId;
    }
}

// The status's and the events' answers. A refused event is said once: the
// message would be an event itself, refused again.
bool Publisher::handleOwnAnswer(int messageId, const QString &refusal)
{
    const bool status = messageId == m_statusMessageId;
    if (status)
        m_statusMessageId = 0;
    else if (!m_events.answered(messageId))
        return false;
    if (!refusal.isEmpty() && (status || !std::exchange(m_eventRefusalSaid, true)))
        emit message(QStringLiteral("The broker refused the message to %1: %2")
                         .arg(QString::fromUtf8(status ? m_statusTopic : m_eventsTopic), refusal));
    return true;
}
