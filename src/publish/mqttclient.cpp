#include "publish/mqttclient.h"

#include "publish/brokeranswers.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

constexpr int connectTimeoutMs = 15000;
// More wakes than a TLS handshake needs: the connection failed underneath.
constexpr int maxWakesUnconnected = 200;
// A PUBLISH's bytes besides its topic and payload: fixed header, lengths,
// packet id, the position and generation properties at their longest, and a
// JSON payload's format and content type.
constexpr qint64 publishOverhead =
    1 + 4 + 2 + 2 + 4 + (1 + 2 + 8 + 2 + 20) + (1 + 2 + 10 + 2 + 32) + 2 + (1 + 2 + 16);

void initLibrary()
{
    static const bool done = [] { return mosquitto_lib_init() == MOSQ_ERR_SUCCESS; }();
    Q_UNUSED(done);
}

std::pair<BrokerFailure, QString> libraryFailure(int rc, int error)
{
    return {BrokerAnswers::forLibraryError(rc, error), BrokerAnswers::libraryErrorText(rc, error)};
}

} // namespace

// Shared by the connect's thread and the client, which may have given it up
// by the time it ends; whoever lets go last frees the library's client.
struct MqttClient::Attempt
{
    mosquitto *mosq = nullptr;
    int rc = MOSQ_ERR_SUCCESS;
    int error = 0;
    ~Attempt()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }
};

MqttClient::MqttClient(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    initLibrary();
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &MqttClient::tick);
}

MqttClient::~MqttClient()
{
    teardown();
}

void MqttClient::connectTo(const PublishSettings &settings, int broker, Role role)
{
    teardown();
    m_settings = settings;
    m_broker = settings.brokers.value(broker);
    m_role = role;
    m_version5 = true;
    m_retain = true;
    start();
}

void MqttClient::disconnectFromBroker(bool withWill)
{
    if (m_mosq && m_connected) {
        // The acknowledgements that came meanwhile: unread, they would have
        // the close reset the connection and lose what was last written.
        m_inLibrary = true; // the answers' slots may publish, and must not end it here
        mosquitto_loop_read(m_mosq, 1);
        m_inLibrary = false;
        // MQTT 3.1.1 has no DISCONNECT that keeps the will: the connection
        // just ends, which has the broker publish it.
        if (m_version5)
            mosquitto_disconnect_v5(m_mosq, withWill ? MQTT_RC_DISCONNECT_WITH_WILL_MSG : 0,
                                    nullptr);
        else if (!withWill)
            mosquitto_disconnect(m_mosq);
        mosquitto_loop_write(m_mosq, 1); // what is left, if the socket takes it now
    }
    teardown();
}

void MqttClient::start()
{
    teardown();
    const QByteArray clientId = m_settings.clientId.toUtf8();
    mosquitto *mosq = mosquitto_new(clientId.constData(), true, this);
    if (!mosq || !configure(mosq)) {
        if (mosq)
            mosquitto_destroy(mosq);
        fail(Failure::Unreachable, QStringLiteral("the MQTT library could not be set up"));
        return;
    }
    m_connectStartedMs = QDateTime::currentMSecsSinceEpoch();
    m_wakesUnconnected = 0;
    m_maximumPacketSize = 0;
    m_timer->start();
    auto attempt = std::make_shared<Attempt>();
    attempt->mosq = mosq;
    m_attempt = attempt;
    const QByteArray host = m_broker.host.toUtf8();
    const int port = m_broker.port;
    const int keepalive = m_settings.keepaliveSeconds;
    QThread *thread = QThread::create([attempt, host, port, keepalive] {
        attempt->rc = mosquitto_connect_async(attempt->mosq, host.constData(), port, keepalive);
        attempt->error = errno;
    });
    connect(thread, &QThread::finished, this, [this, attempt] { connectStarted(attempt); });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void MqttClient::connectStarted(const std::shared_ptr<Attempt> &attempt)
{
    if (attempt != m_attempt)
        return; // given up meanwhile: the attempt frees its client
    m_attempt.reset();
    m_mosq = std::exchange(attempt->mosq, nullptr);
    if (attempt->rc != MOSQ_ERR_SUCCESS) {
        const auto [failure, detail] = libraryFailure(attempt->rc, attempt->error);
        fail(failure, detail);
        return;
    }
    watchSocket();
    afterLoop(MOSQ_ERR_SUCCESS);
}

std::optional<qint64> MqttClient::maximumPayload(qsizetype topicBytes) const
{
    if (m_maximumPacketSize == 0)
        return std::nullopt;
    return m_maximumPacketSize - publishOverhead - topicBytes;
}

MqttClient::Publish MqttClient::publish(const QByteArray &topic, QByteArrayView payload,
                                        const Options &options)
{
    if (!m_connected)
        return {};
    mosquitto_property *properties = nullptr;
    if (m_version5 && options.position >= 0) {
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "position",
                                           QByteArray::number(options.position).constData());
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "generation",
                                           options.generation.constData());
    }
    if (m_version5 && options.json) {
        mosquitto_property_add_byte(&properties, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1); // UTF-8
        mosquitto_property_add_string(&properties, MQTT_PROP_CONTENT_TYPE, "application/json");
    }
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), int(payload.size()),
                                        payload.data(), 1, options.retain && m_retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_OVERSIZE_PACKET)
        return {Sent::TooLarge, 0};
    if (rc != MOSQ_ERR_SUCCESS && !m_failure)
        m_failure = libraryFailure(rc, errno);
    if (!m_inLibrary)
        afterLoop(rc);
    return {rc == MOSQ_ERR_SUCCESS ? Sent::Queued : Sent::Failed, mid};
}

void MqttClient::watchSocket()
{
    const int socket = mosquitto_socket(m_mosq);
    if (socket < 0)
        return;
    m_readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttClient::readSocket);
    m_writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttClient::writeSocket);
}

void MqttClient::readSocket()
{
    if (!m_connected && ++m_wakesUnconnected > maxWakesUnconnected) {
        fail(Failure::Unreachable, QStringLiteral("no answer to the connection"));
        return;
    }
    callLibrary([this] { return mosquitto_loop_read(m_mosq, 1); });
}

void MqttClient::writeSocket()
{
    callLibrary([this] { return mosquitto_loop_write(m_mosq, 1); });
}

template <typename Call> void MqttClient::callLibrary(Call call)
{
    m_inLibrary = true;
    const int rc = call();
    m_inLibrary = false;
    afterLoop(rc);
}

void MqttClient::tick()
{
    if (!m_connected &&
        QDateTime::currentMSecsSinceEpoch() - m_connectStartedMs > connectTimeoutMs) {
        fail(Failure::Unreachable, QStringLiteral("no answer to the connection"));
        return;
    }
    if (m_mosq) // else the connect's thread still has it
        callLibrary([this] { return mosquitto_loop_misc(m_mosq); });
}

// What a call into the library left: a failure to report, or more to write.
void MqttClient::afterLoop(int rc)
{
    const int error = errno;
    if (m_askAgain) {
        m_askAgain = false;
        start();
        return;
    }
    if (!m_failure && rc != MOSQ_ERR_SUCCESS)
        m_failure = libraryFailure(rc, error);
    if (m_failure) {
        const auto [failure, detail] = *m_failure;
        fail(failure, detail);
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::fail(Failure failure, const QString &detail)
{
    teardown();
    emit failed(failure, detail);
}

void MqttClient::teardown()
{
    m_attempt.reset();
    m_timer->stop();
    m_failure.reset();
    m_connected = false;
    // Possibly called from their own signal: they go when it has returned.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (!notifier)
            continue;
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_readNotifier = m_writeNotifier = nullptr;
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
}
