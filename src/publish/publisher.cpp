#include "publish/publisher.h"

#include "publish/cursorfile.h"

#include <QTimer>

namespace {

constexpr int saveIntervalMs = 1000;
constexpr int firstRetryMs = 1000;
constexpr int lastRetryMs = 16000;
// A connection that ends sooner had something wrong with it: the retries
// keep backing off.
constexpr int stableConnectionMs = 10000;
// A read this big means the device is ahead of the window: logging is busy
// for a while after it. Then publishing gets a slice of messages at a time.
constexpr qsizetype busyReadBytes = 1024;
constexpr int busyHoldMs = 50;
constexpr int busySliceMs = 10;
constexpr int busySliceMessages = 8;
// Refusals of one reason in a row are said one at first, then as a count.
constexpr int refusalSummaryMs = 60000;
// A broker that takes less in one message leaves no room for a line.
constexpr qint64 minimumPiece = 64;

} // namespace

Publisher::Publisher(QObject *parent)
    : QObject(parent), m_client(new MqttClient(this)), m_saveTimer(new QTimer(this)),
      m_retryTimer(new QTimer(this)), m_sliceTimer(new QTimer(this)),
      m_refusalTimer(new QTimer(this))
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
    connect(m_client, &MqttClient::connected, this, &Publisher::handleConnected);
    connect(m_client, &MqttClient::failed, this, &Publisher::handleFailure);
    connect(m_client, &MqttClient::acknowledged, this,
            [this](int messageId) { handleAnswer(messageId, {}); });
    connect(m_client, &MqttClient::refused, this, &Publisher::handleAnswer);
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
    m_rotated = false;
    saveCursorNow();
    m_saveTimer->start();
    m_wasConnected = m_protocolSaid = false;
    m_lastFailure.reset();
    m_refusals = {};
    m_retryDelayMs = firstRetryMs;
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
    sayMoreRefused();
    m_client->disconnectFromBroker();
    saveCursorNow();
    m_window.clear();
    m_tail.close();
    m_logPath.clear();
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
    m_client->connectTo(m_settings);
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
    const auto sent = m_client->publish(m_topic, line.text, line.position, m_generation);
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

void Publisher::handleConnected()
{
    if (!fitPiecesToBroker())
        return;
    // Said in bytes: counting the lines would read a long backlog here.
    const qint64 bytes = m_tail.size() - m_cursor;
    const QString waiting = QStringLiteral("%1 bytes waiting").arg(bytes);
    QString said = m_wasConnected || m_lastFailure
                       ? QStringLiteral("Broker connection back: ") + waiting
                       : QStringLiteral("Publishing to ") + m_settings.brokerName() +
                             (bytes > 0 ? QStringLiteral(", ") + waiting : QString());
    if (!m_client->isVersion5() && !std::exchange(m_protocolSaid, true))
        said += QStringLiteral(" (MQTT 3.1.1: no positions, refusals not reported)");
    emit message(said);
    m_wasConnected = true;
    m_lastFailure.reset();
    m_connectedFor.start();
    if (!checkShortened())
        sendMore();
}

// Lines longer than the broker takes in one message go in pieces that fit.
bool Publisher::fitPiecesToBroker()
{
    const qint64 fits =
        m_client->maximumPayload(m_topic.size()).value_or(qint64(LogTail::maxPieceBytes));
    if (fits < minimumPiece) {
        m_client->disconnectFromBroker();
        handleFailure(MqttClient::Failure::Refused,
                      QStringLiteral("its maximum packet size leaves no room for a line"));
        return false;
    }
    const qsizetype piece = qsizetype(std::min<qint64>(fits, LogTail::maxPieceBytes));
    if (piece != m_tail.pieceBytes()) {
        // Pieces answered before were cut otherwise: they go again.
        m_window.clear();
        m_tail.seek(m_cursor);
        m_tail.setPieceBytes(piece);
    }
    return true;
}

void Publisher::handleFailure(MqttClient::Failure failure, const QString &detail)
{
    // What was in flight and not answered is sent again from the file.
    m_window.forgetUnanswered();
    m_tail.seek(m_cursor);
    if (m_wasConnected || m_lastFailure != failure) {
        const QString what = m_wasConnected ? QStringLiteral("Broker connection lost (")
                                            : QStringLiteral("Can't connect to the broker (");
        emit message(what + BrokerAnswers::reasonText(failure) + QStringLiteral("): ") +
                     m_settings.brokerName() +
                     (detail.isEmpty() ? QString() : QStringLiteral(", ") + detail));
    }
    // After a connection that held, the first retry comes soon again.
    if (m_wasConnected && m_connectedFor.elapsed() >= stableConnectionMs &&
        failure != MqttClient::Failure::TakenOver)
        m_retryDelayMs = firstRetryMs;
    m_wasConnected = false;
    m_lastFailure = failure;
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, lastRetryMs);
}

// An acknowledgement, or a refusal: the broker's answer for that line alone,
// which stays in the log.
void Publisher::handleAnswer(int messageId, const QString &refusal)
{
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
