#include "publish/mqttclient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

// The library's client made ready for one connection: protocol, callbacks,
// user, will and TLS, from the settings.
bool MqttClient::configure(mosquitto *mosq)
{
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         m_version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1); // a line is sent when it comes
    mosquitto_connect_v5_callback_set(mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(mosq, &MqttClient::onPublish);
    if (!m_settings.user.isEmpty()) {
        const QByteArray user = m_settings.user.toUtf8();
        const QByteArray password = m_settings.password;
        if (mosquitto_username_pw_set(mosq, user.constData(),
                                      password.isEmpty() ? nullptr : password.constData()) !=
            MOSQ_ERR_SUCCESS)
            return false;
    }
    if (m_role == Role::Publishing && !m_settings.statusTopic.isEmpty()) {
        const QByteArray topic = m_settings.statusTopic.toUtf8();
        if (mosquitto_will_set_v5(mosq, topic.constData(), 7, "offline", 1, m_retain, nullptr) !=
            MOSQ_ERR_SUCCESS)
            return false;
    }
    return !m_broker.tls || configureTls(mosq);
}

// An encrypted key would have the library ask for its pass phrase on a
// terminal: there is none, and the settings refuse such a key.
bool MqttClient::configureTls(mosquitto *mosq)
{
    if (m_settings.caFile.isEmpty())
        mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    else if (mosquitto_tls_set(
                 mosq, m_settings.caFile.toLocal8Bit().constData(), nullptr,
                 m_settings.certFile.isEmpty() ? nullptr
                                               : m_settings.certFile.toLocal8Bit().constData(),
                 m_settings.keyFile.isEmpty() ? nullptr
                                              : m_settings.keyFile.toLocal8Bit().constData(),
                 [](char *, int, int, void *) { return 0; }) != MOSQ_ERR_SUCCESS)
        return false;
    if (!m_settings.verifyCertificate) {
        mosquitto_tls_opts_set(mosq, 0 /* SSL_VERIFY_NONE */, nullptr, nullptr);
        mosquitto_tls_insecure_set(mosq, true);
    }
    return true;
}
