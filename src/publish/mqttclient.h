#pragma once

#include "publish/brokeranswers.h"
#include "publish/publishsettings.h"

#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

struct mosquitto;
struct mqtt5__property; // libmosquitto's mosquitto_property
class QSocketNotifier;
class QTimer;

// One connection to an MQTT broker through libmosquitto, driven by the
// window's event loop: its socket watched by socket notifiers, its
// keepalive by a timer. Each connection gets a client of its own, so that
// nothing the library kept from an earlier one is sent again behind the
// publisher's back. The connect itself, which looks the broker's name up
// and may wait on a name server for long, runs on a thread of its own.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    using Failure = BrokerFailure;
    enum class Sent { Queued, TooLarge, Failed };
    struct Publish
    {
        Sent sent = Sent::Failed;
        int messageId = 0;
    };
    // What a message carries besides its topic and payload.
    struct Options
    {
        bool retain = false;
        qint64 position = -1; // a line's: with the generation, as user properties (MQTT 5)
        QByteArray generation;
        bool json = false;
    };
    // A probe only asks whether the broker answers: no will, nothing published.
    enum class Role { Publishing, Probe };

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting to one of the settings' brokers; connected() or
    // failed() tells how it went. A broker that refuses MQTT 5 is asked
    // again in 3.1.1. With a status topic, "offline" is left as the will.
    void connectTo(const PublishSettings &settings, int broker, Role role = Role::Publishing);
    // Leaving with the will has the broker publish it, as when the program dies.
    void disconnectFromBroker(bool withWill = false);
    bool isConnected() const { return m_connected; }
    // MQTT 5, whose messages carry their position; else 3.1.1.
    bool isVersion5() const { return m_version5; }
    // The most payload one message to a topic this long may carry, by the
    // maximum packet size the broker announced; nothing when it set none.
    std::optional<qint64> maximumPayload(qsizetype topicBytes) const;

    // QoS 1. TooLarge: more than the broker takes, nothing sent; Failed:
    // the connection then fails.
    Publish publish(const QByteArray &topic, QByteArrayView payload, const Options &options);

signals:
    void connected();
    void failed(MqttClient::Failure failure, const QString &detail);
    // Raised from inside the library: a slot may publish, not disconnect.
    void acknowledged(int messageId);
    // The broker took the message but will not deliver it (MQTT 5 only).
    void refused(int messageId, const QString &reason);

private:
    struct Attempt; // a connect under way on its thread

    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *);

    bool configure(mosquitto *mosq);
    bool configureTls(mosquitto *mosq);
    void start();
    void connectStarted(const std::shared_ptr<Attempt> &attempt);
    void readSocket();
    void writeSocket();
    void tick();
    template <typename Call> void callLibrary(Call call);
    void afterLoop(int rc);
    void fail(Failure failure, const QString &detail);
    void teardown();
    void watchSocket();

    std::shared_ptr<Attempt> m_attempt;
    mosquitto *m_mosq = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_timer = nullptr;
    bool m_connected = false;
    bool m_version5 = true;
    bool m_inLibrary = false;   // callbacks may run: the client must stay
    bool m_retain = true;       // false for a broker that keeps no retained messages
    bool m_askAgain = false;    // with the version or retain changed
    int m_wakesUnconnected = 0; // a TLS connect that failed keeps waking
    qint64 m_connectStartedMs = 0;
    qint64 m_maximumPacketSize = 0;                       // announced by the broker; 0: none
    std::optional<std::pair<Failure, QString>> m_failure; // raised inside a callback
    PublishSettings m_settings;
    PublishSettings::Broker m_broker;
    Role m_role = Role::Publishing;
};
