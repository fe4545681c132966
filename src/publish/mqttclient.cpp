#include "publish/mqttclient.h"

#include "publish/hostlookup.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

constexpr int keepaliveSeconds = 20;
constexpr int connectTimeoutMs = 15000;
// More wakes than a TLS handshake needs: the connection failed underneath.
constexpr int maxWakesUnconnected = 200;

void initLibrary()
{
    static const bool done = [] { return mosquitto_lib_init() == MOSQ_ERR_SUCCESS; }();
    Q_UNUSED(done);
}

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// A failed connection, by the library's error.
MqttClient::Failure failureFor(int rc)
{
    switch (rc) {
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
        return MqttClient::Failure::Certificate;
    case MOSQ_ERR_AUTH:
        return MqttClient::Failure::NotAuthorised;
    case MOSQ_ERR_CONN_REFUSED:
        return MqttClient::Failure::Refused;
    default:
        return MqttClient::Failure::Unreachable;
    }
}

// A broker's CONNACK refusal, MQTT 5 reason codes and 3.1.1 return codes.
MqttClient::Failure failureForConnack(int rc)
{
    switch (rc) {
    case 4:    // 3.1.1: bad user name or password
    case 5:    // 3.1.1: not authorised
    case 0x86: // bad user name or password
    case 0x87: // not authorised
    case 0x8A: // banned
    case 0x8C: // bad authentication method
        return MqttClient::Failure::NotAuthorised;
    default:
        return MqttClient::Failure::Refused;
    }
}

} // namespace

MqttClient::MqttClient(QObject *parent)
    : QObject(parent), m_lookup(new HostLookup(this)), m_timer(new QTimer(this))
{
    initLibrary();
    connect(m_lookup, &HostLookup::finished, this, [this](bool found, const QString &error) {
        if (found)
            start();
        else
            emit failed(Failure::Unreachable, error);
    });
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &MqttClient::tick);
}

MqttClient::~MqttClient()
{
    teardown();
}

void MqttClient::connectTo(const PublishSettings &settings)
{
    teardown();
    m_settings = settings;
    m_version5 = true;
    m_lookup->start(settings.host);
}

void MqttClient::disconnectFromBroker()
{
    if (m_mosq && m_connected) {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_write(m_mosq, 1); // the DISCONNECT, if the socket takes it now
    }
    teardown();
}

void MqttClient::start()
{
    teardown();
    const QByteArray clientId = m_settings.clientId.toUtf8();
    m_mosq = mosquitto_new(clientId.constData(), true, this);
    if (!m_mosq || !configure()) {
        fail(Failure::Unreachable, QStringLiteral("the MQTT library could not be set up"));
        return;
    }
    m_connectStartedMs = QDateTime::currentMSecsSinceEpoch();
    m_wakesUnconnected = 0;
    const QByteArray host = m_settings.host.toUtf8();
    const int rc =
        mosquitto_connect_async(m_mosq, host.constData(), m_settings.port, keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(failureFor(rc), errorText(rc));
        return;
    }
    watchSocket();
    m_timer->start();
}

bool MqttClient::configure()
{
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         m_version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1); // a line is sent when it comes
    mosquitto_connect_with_flags_callback_set(m_mosq, nullptr);
    mosquitto_connect_v5_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(m_mosq, &MqttClient::onPublish);
    if (!m_settings.user.isEmpty()) {
        const QByteArray user = m_settings.user.toUtf8();
        const QByteArray password = m_settings.password;
        if (mosquitto_username_pw_set(m_mosq, user.constData(),
                                      password.isEmpty() ? nullptr : password.constData()) !=
            MOSQ_ERR_SUCCESS)
            return false;
    }
    if (!m_settings.tls)
        return true;
    if (m_settings.caFile.isEmpty())
        mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    else if (mosquitto_tls_set(m_mosq, m_settings.caFile.toLocal8Bit().constData(), nullptr,
                               nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    if (!m_settings.verifyCertificate) {
        mosquitto_tls_opts_set(m_mosq, 0 /* SSL_VERIFY_NONE */, nullptr, nullptr);
        mosquitto_tls_insecure_set(m_mosq, true);
    }
    return true;
}

std::optional<int> MqttClient::publish(const QString &topic, QByteArrayView payload,
                                       qint64 position)
{
    if (!m_connected)
        return std::nullopt;
    mosquitto_property *properties = nullptr;
    if (m_version5)
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "position",
                                           QByteArray::number(position).constData());
    int mid = 0;
    const QByteArray topicBytes = topic.toUtf8();
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topicBytes.constData(), int(payload.size()),
                                        payload.data(), 1, false, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS && !m_failure)
        m_failure = {failureFor(rc), errorText(rc)};
    if (!m_inLibrary)
        afterLoop(rc);
    if (rc != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
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
    callLibrary([this] { return mosquitto_loop_misc(m_mosq); });
}

// What a call into the library left: a failure to report, or more to write.
void MqttClient::afterLoop(int rc)
{
    if (m_retryAs311) {
        m_retryAs311 = false;
        m_version5 = false;
        start();
        return;
    }
    if (!m_failure && rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        m_failure = {failureFor(rc), errorText(rc)};
    if (!m_failure && rc == MOSQ_ERR_NO_CONN && m_mosq)
        m_failure = {Failure::Unreachable, errorText(rc)};
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
    m_lookup->cancel();
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

void MqttClient::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc == 0) {
        client->m_connected = true;
        // After the library's own work on the CONNACK, outside of it.
        QMetaObject::invokeMethod(
            client,
            [client] {
                if (client->m_connected)
                    emit client->connected();
            },
            Qt::QueuedConnection);
        return;
    }
    // A broker that knows only 3.1.1: once more in its version.
    if (client->m_version5 && (rc == 1 || rc == 0x84)) {
        client->m_retryAs311 = true;
        return;
    }
    client->m_failure = {failureForConnack(rc),
                         QString::fromUtf8(client->m_version5 ? mosquitto_reason_string(rc)
                                                              : mosquitto_connack_string(rc))};
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto *client = static_cast<MqttClient *>(self);
    if (!client->m_failure)
        client->m_failure = {failureFor(rc), errorText(rc)};
}

void MqttClient::onPublish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    // Taken but not to be delivered (a topic the user may not publish to):
    // the line stays unpublished, and the connection is given up.
    if (reason >= 0x80) {
        if (!client->m_failure)
            client->m_failure = {failureForConnack(reason),
                                 QString::fromUtf8(mosquitto_reason_string(reason))};
        return;
    }
    emit client->acknowledged(mid);
}
