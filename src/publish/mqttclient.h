#pragma once

#include "publish/publishsettings.h"

#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <optional>

struct mosquitto;
struct mqtt5__property; // libmosquitto's mosquitto_property
class HostLookup;
class QSocketNotifier;
class QTimer;

// One connection to an MQTT broker through libmosquitto, driven by the
// window's event loop: its socket watched by socket notifiers, its
// keepalive by a timer. Each connection gets a client of its own, so that
// nothing the library kept from an earlier one is sent again behind the
// publisher's back.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    enum class Failure { Unreachable, Refused, NotAuthorised, Certificate };

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; connected() or failed() tells how it went. A
    // broker that refuses MQTT 5 is asked again in 3.1.1.
    void connectTo(const PublishSettings &settings);
    void disconnectFromBroker();
    bool isConnected() const { return m_connected; }
    // MQTT 5, whose messages carry their position; else 3.1.1.
    bool isVersion5() const { return m_version5; }

    // QoS 1, not retained; the message id, or nothing when the library
    // refuses the message (the connection then fails).
    std::optional<int> publish(const QString &topic, QByteArrayView payload, qint64 position);

signals:
    void connected();
    void failed(MqttClient::Failure failure, const QString &detail);
    // Raised from inside the library: a slot may publish, not disconnect.
    void acknowledged(int messageId);

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *);

    bool configure();
    void start();
    void readSocket();
    void writeSocket();
    void tick();
    template <typename Call> void callLibrary(Call call);
    void afterLoop(int rc);
    void fail(Failure failure, const QString &detail);
    void teardown();
    void watchSocket();

    HostLookup *m_lookup = nullptr;
    mosquitto *m_mosq = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_timer = nullptr;
    bool m_connected = false;
    bool m_version5 = true;
    bool m_inLibrary = false; // callbacks may run: the client must stay
    bool m_retryAs311 = false;
    int m_wakesUnconnected = 0; // a TLS connect that failed keeps waking
    qint64 m_connectStartedMs = 0;
    std::optional<std::pair<Failure, QString>> m_failure; // raised inside a callback
    PublishSettings m_settings;
};
