#pragma once

#include "publish/eventqueue.h"
#include "publish/inflightwindow.h"
#include "publish/logtail.h"
#include "publish/mqttclient.h"
#include "publish/publishsettings.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QThread;
class QTimer;

// Publishes the log's lines to a broker as they are written, oldest first,
// each answered (QoS 1) before the cursor passes it. The log file is the
// queue: while the broker is away lines only go to the file, and when it is
// back they are read from there, a bounded window of them in flight at a time.
// Beside the lines: a retained status, "online" while connected and
// "offline" (the will) when not, and the window's messages as events. Of
// several brokers the first that answers is used, and the first again once
// it is back.
class Publisher : public QObject
{
    Q_OBJECT

public:
    explicit Publisher(QObject *parent = nullptr);
    ~Publisher() override;

    // Goes on from the cursor kept beside the log; from the log's end for a
    // log never published, and from its start for a log overwritten at Start
    // or not the one the cursor was kept for. Returns what to tell the user.
    QStringList start(const PublishSettings &settings, const QString &logPath, bool overwritten);
    void stop();
    bool isPublishing() const { return m_logPath.size() > 0; }
    // The log has grown by bytesWritten, from a read of the port this big.
    void logWritten(qsizetype bytesRead, qsizetype bytesWritten);
    // The log file was opened again by its name: when that is a new file (a
    // rotation), the old one is published to its end first.
    void logReopened();

    // The position of the first line the broker has not answered for.
    qint64 cursor() const { return m_cursor; }

    // How often a first broker that failed is asked whether it is back.
    static constexpr int returnCheckMs = 30000;

public slots:
    // A message the window showed: for the events topic.
    void publishEvent(const QString &text);

signals:
    // A change of the broker connection, for the status line.
    void message(const QString &text);

private:
    void connectToBroker();
    void sendMore();
    void sendEvents();
    void sendStatus();
    void forgetInFlight();
    void checkFirstBroker();
    void returnToFirstBroker();
    std::optional<LogTail::Line> nextLine();
    bool publishLine(const LogTail::Line &line);
    bool checkShortened();
    void handleConnected();
    bool fitPiecesToBroker();
    void handleFailure(MqttClient::Failure failure, const QString &detail);
    void handleAnswer(int messageId, const QString &refusal);
    bool handleOwnAnswer(int messageId, const QString &refusal);
    void sayRefused(qint64 position, const QString &reason);
    void sayMoreRefused();
    void restartFromBeginning(const QString &why);
    void switchToNewLog();
    void saveCursor();
    void saveCursorNow();
    // The tail reads a log file renamed away, newer ones waiting.
    bool readsRotatedLog() const { return !m_nextLogs.empty(); }
    bool jsonPayload() const { return m_settings.payload == PublishSettings::Payload::Json; }

    static constexpr int firstRetryMs = 1000;

    MqttClient *m_client = nullptr;
    MqttClient *m_probe = nullptr; // asks whether the first broker is back
    QTimer *m_saveTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_sliceTimer = nullptr;
    QTimer *m_refusalTimer = nullptr;
    QTimer *m_returnTimer = nullptr;
    QPointer<QThread> m_saving;      // the cursor's save under way, with the log's sync
    QDeadlineTimer m_loggingBusy{0}; // running while the port delivers fast
    QDeadlineTimer m_nextSlice{0};
    QElapsedTimer m_connectedFor;
    QElapsedTimer m_sinceSave;
    PublishSettings m_settings;
    QByteArray m_topic;
    QByteArray m_statusTopic;
    QByteArray m_eventsTopic;
    EventQueue m_events;
    int m_statusMessageId = 0; // "online", while not answered
    QString m_logPath;
    LogTail m_tail;
    InFlightWindow m_window;
    qint64 m_cursor = 0;
    qint64 m_expectedSize = 0; // of the log, by what has been written to it
    QByteArray m_generation;   // changes whenever positions start again
    qint64 m_savedCursor = -1;
    QByteArray m_savedGeneration;
    int m_retryDelayMs = 0;
    int m_broker = 0;           // the one connected or tried, of the settings' brokers
    int m_connectedBroker = -1; // the one last connected to
    std::deque<std::unique_ptr<QFile>> m_nextLogs; // opened at rotations, oldest first
    bool m_wasConnected = false;                   // since Start: a failure is then a loss
    bool m_protocolSaid = false;
    // Each broker's last failure: said once until it changes.
    std::vector<std::optional<MqttClient::Failure>> m_lastFailures;
    bool m_eventRefusalSaid = false; // said once: the refusal would be an event itself
    bool m_saveFailed = false;
    struct Refusals
    {
        QString reason;
        int more = 0; // since the last said
        qint64 last = 0;
    } m_refusals;
};
