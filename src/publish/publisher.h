#pragma once

#include "publish/cursorfile.h"
#include "publish/logtail.h"
#include "publish/mqttclient.h"
#include "publish/publishsettings.h"

#include <QDeadlineTimer>
#include <QObject>
#include <deque>
#include <optional>

class QTimer;

// Publishes the log's lines to a broker as they are written, oldest first,
// each acknowledged (QoS 1) before the cursor passes it. The log file is the
// queue: while the broker is away lines only go to the file, and when it is
// back they are read from there, a bounded window of them in flight at a time.
class Publisher : public QObject
{
    Q_OBJECT

public:
    // At most this many messages, and bytes of them, await their acknowledgement.
    static constexpr qsizetype windowMessages = 256;
    static constexpr qint64 windowBytes = 1 << 20;

    explicit Publisher(QObject *parent = nullptr);
    ~Publisher() override;

    // Goes on from the cursor kept beside the log; from the log's end for a
    // log never published, and from its start for a log overwritten at Start
    // or not the one the cursor was kept for. Returns what to tell the user.
    QStringList start(const PublishSettings &settings, const QString &logPath, bool overwritten);
    void stop();
    bool isPublishing() const { return m_logPath.size() > 0; }
    // More has been written to the log, from a read of the port this big.
    void logWritten(qsizetype bytesRead);

    // The position of the first line the broker has not acknowledged.
    qint64 cursor() const { return m_cursor; }

signals:
    // A change of the broker connection, for the status line.
    void message(const QString &text);

private:
    void connectToBroker();
    void sendMore();
    void handleConnected();
    void handleFailure(MqttClient::Failure failure, const QString &detail);
    void handleAcknowledged(int messageId);
    void restartFromBeginning(const QString &why);
    void saveCursor();
    QString brokerName() const;

    struct InFlight
    {
        int messageId = 0;
        qint64 end = 0; // of its line: the cursor once it is acknowledged
        qint64 bytes = 0;
        bool acknowledged = false;
    };

    MqttClient *m_client = nullptr;
    QTimer *m_saveTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_sliceTimer = nullptr;
    QDeadlineTimer m_loggingBusy{0}; // running while the port delivers fast
    QDeadlineTimer m_nextSlice{0};
    PublishSettings m_settings;
    QString m_logPath;
    std::optional<CursorFile> m_cursorFile;
    LogTail m_tail;
    std::deque<InFlight> m_inFlight;
    qint64 m_inFlightBytes = 0;
    qint64 m_cursor = 0;
    int m_retryDelayMs = 0;
    bool m_wasConnected = false;                      // since Start: a failure is then a loss
    std::optional<MqttClient::Failure> m_lastFailure; // said once until it changes
    bool m_saveFailed = false;
};
