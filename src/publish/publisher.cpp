#include "publish/publisher.h"

#include <QTimer>

namespace {

constexpr int saveIntervalMs = 1000;
constexpr int firstRetryMs = 1000;
constexpr int lastRetryMs = 16000;
// A read this big means the device is ahead of the window: logging is busy
// for a while after it. Then publishing gets a slice of messages at a time.
constexpr qsizetype busyReadBytes = 1024;
constexpr int busyHoldMs = 50;
constexpr int busySliceMs = 10;
constexpr int busySliceMessages = 8;

QString reasonText(MqttClient::Failure failure)
{
    switch (failure) {
    case MqttClient::Failure::Refused:
        return QStringLiteral("refused");
    case MqttClient::Failure::NotAuthorised:
        return QStringLiteral("not authorised");
    case MqttClient::Failure::Certificate:
        return QStringLiteral("certificate");
    case MqttClient::Failure::Unreachable:
        break;
    }
    return QStringLiteral("unreachable");
}

QString linesWaitingText(qint64 lines)
{
    return QString::number(lines) +
           (lines == 1 ? QStringLiteral(" line") : QStringLiteral(" lines")) +
           QStringLiteral(" waiting");
}

} // namespace

Publisher::Publisher(QObject *parent)
    : QObject(parent), m_client(new MqttClient(this)), m_saveTimer(new QTimer(this)),
      m_retryTimer(new QTimer(this)), m_sliceTimer(new QTimer(this))
{
    m_saveTimer->setInterval(saveIntervalMs);
    connect(m_saveTimer, &QTimer::timeout, this, &Publisher::saveCursor);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &Publisher::connectToBroker);
    m_sliceTimer->setSingleShot(true);
    connect(m_sliceTimer, &QTimer::timeout, this, [this] {
        if (m_client->isConnected())
            sendMore();
    });
    connect(m_client, &MqttClient::connected, this, &Publisher::handleConnected);
    connect(m_client, &MqttClient::failed, this, &Publisher::handleFailure);
    connect(m_client, &MqttClient::acknowledged, this, &Publisher::handleAcknowledged);
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
    m_cursorFile.emplace(logPath);
    const CursorFile::Stored stored = m_cursorFile->load();
    if (!m_tail.open(logPath, 0)) {
        m_cursorFile.reset();
        return {QStringLiteral("Can't publish the log file: can't read ") + logPath};
    }
    m_logPath = logPath;
    switch (stored.found) {
    case CursorFile::Found::Matched:
        m_cursor = stored.position;
        break;
    case CursorFile::Found::Missing:
        // Publishing starts now: the log's earlier lines are not sent.
        m_cursor = overwritten ? 0 : QFile(logPath).size();
        break;
    case CursorFile::Found::OtherLog:
        m_cursor = 0;
        if (!overwritten)
            said << QStringLiteral(
                "The log file is not the one last published: publishing it from its start");
        break;
    }
    m_tail.seek(m_cursor);
    saveCursor();
    m_saveTimer->start();
    m_wasConnected = false;
    m_lastFailure.reset();
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
    m_client->disconnectFromBroker();
    saveCursor();
    m_inFlight.clear();
    m_inFlightBytes = 0;
    m_tail.close();
    m_cursorFile.reset();
    m_logPath.clear();
}

void Publisher::logWritten(qsizetype bytesRead)
{
    if (bytesRead >= busyReadBytes)
        m_loggingBusy.setRemainingTime(busyHoldMs);
    if (m_client->isConnected())
        sendMore();
}

void Publisher::connectToBroker()
{
    m_client->connectTo(m_settings);
}

void Publisher::sendMore()
{
    qsizetype budget = windowMessages;
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
    while (budget-- > 0 && qsizetype(m_inFlight.size()) < windowMessages &&
           m_inFlightBytes < windowBytes) {
        const auto line = m_tail.next();
        if (!line) {
            if (m_tail.wasShortened()) // asked at the end only: it costs a system call
                restartFromBeginning(QStringLiteral(
                    "The log file was shortened: publishing it again from its start"));
            return;
        }
        const auto messageId = m_client->publish(m_settings.topic, line->text, line->position);
        if (!messageId)
            return; // the connection has failed, and the line is read again after it
        m_inFlight.push_back({*messageId, line->end, line->text.size(), false});
        m_inFlightBytes += line->text.size();
    }
}

void Publisher::restartFromBeginning(const QString &why)
{
    emit message(why);
    m_inFlight.clear();
    m_inFlightBytes = 0;
    m_cursor = 0;
    m_tail.seek(0);
    saveCursor();
    sendMore();
}

void Publisher::handleConnected()
{
    const qint64 waiting = CursorFile::countLines(m_logPath, m_cursor);
    if (m_wasConnected || m_lastFailure)
        emit message(QStringLiteral("Broker connection back: ") + linesWaitingText(waiting));
    else
        emit message(QStringLiteral("Publishing to ") + brokerName() +
                     (waiting > 0 ? QStringLiteral(", ") + linesWaitingText(waiting) : QString()));
    m_wasConnected = true;
    m_lastFailure.reset();
    m_retryDelayMs = firstRetryMs;
    sendMore();
}

void Publisher::handleFailure(MqttClient::Failure failure, const QString &detail)
{
    // What was in flight and not acknowledged is sent again from the file.
    m_inFlight.clear();
    m_inFlightBytes = 0;
    m_tail.seek(m_cursor);
    if (m_wasConnected || m_lastFailure != failure) {
        const QString what = m_wasConnected ? QStringLiteral("Broker connection lost (")
                                            : QStringLiteral("Can't connect to the broker (");
        emit message(what + reasonText(failure) + QStringLiteral("): ") + brokerName() +
                     (detail.isEmpty() ? QString() : QStringLiteral(", ") + detail));
    }
    m_wasConnected = false;
    m_lastFailure = failure;
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, lastRetryMs);
}

void Publisher::handleAcknowledged(int messageId)
{
    for (InFlight &sent : m_inFlight) {
        if (sent.messageId == messageId) {
            sent.acknowledged = true;
            break;
        }
    }
    // The cursor passes only lines whose every predecessor is acknowledged.
    while (!m_inFlight.empty() && m_inFlight.front().acknowledged) {
        m_cursor = m_inFlight.front().end;
        m_inFlightBytes -= m_inFlight.front().bytes;
        m_inFlight.pop_front();
    }
    sendMore();
}

void Publisher::saveCursor()
{
    if (!m_cursorFile || m_cursorFile->saved() == m_cursor)
        return;
    const bool saved = m_cursorFile->save(m_cursor);
    if (!saved && !m_saveFailed)
        emit message(QStringLiteral("Can't write the publishing position: ") +
                     CursorFile::pathFor(m_logPath));
    m_saveFailed = !saved;
}

QString Publisher::brokerName() const
{
    return (m_settings.tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) +
           m_settings.host + u':' + QString::number(m_settings.port);
}
