// The library's callbacks: raised from inside its calls, they note what
// happened for afterLoop(), or signal an answer to one message.
#include "publish/mqttclient.h"

#include <QMetaObject>

#include <cerrno>
#include <mosquitto.h>
#include <mqtt_protocol.h>

void MqttClient::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *props)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc == 0) {
        uint8_t maximumQos = 2;
        uint32_t maximumPacketSize = 0;
        uint8_t retainAvailable = 1;
        mosquitto_property_read_byte(props, MQTT_PROP_MAXIMUM_QOS, &maximumQos, false);
        mosquitto_property_read_byte(props, MQTT_PROP_RETAIN_AVAILABLE, &retainAvailable, false);
        mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &maximumPacketSize,
                                      false);
        if (maximumQos < 1) {
            client->m_failure = {Failure::QosUnsupported,
                                 QStringLiteral("the broker takes QoS 0 only")};
            return;
        }
        client->m_maximumPacketSize = maximumPacketSize;
        client->m_retain = client->m_retain && retainAvailable;
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
    // Refused for the will's QoS 1 (the status's): what a broker that takes
    // QoS 0 only says at once.
    if (rc == MQTT_RC_QOS_NOT_SUPPORTED) {
        client->m_failure = {Failure::QosUnsupported,
                             QStringLiteral("the broker takes QoS 0 only")};
        return;
    }
    // A broker that knows only 3.1.1: once more in its version. One that
    // keeps no retained messages: once more without, the status too.
    if (client->m_version5 && (rc == 1 || rc == 0x84)) {
        client->m_version5 = false;
        client->m_askAgain = true;
        return;
    }
    if (rc == MQTT_RC_RETAIN_NOT_SUPPORTED && client->m_retain) {
        client->m_retain = false;
        client->m_askAgain = true;
        return;
    }
    client->m_failure = {BrokerAnswers::forReasonCode(rc),
                         client->m_version5 ? BrokerAnswers::reasonCodeText(rc)
                                            : QString::fromUtf8(mosquitto_connack_string(rc))};
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto *client = static_cast<MqttClient *>(self);
    if (client->m_failure)
        return;
    const int error = errno;
    // The broker's own DISCONNECT carries a reason code; the library's own
    // errors are below 0x80.
    if (rc >= 0x80)
        client->m_failure = {BrokerAnswers::forReasonCode(rc), BrokerAnswers::reasonCodeText(rc)};
    else if (rc == MOSQ_ERR_KEEPALIVE)
        client->m_failure = {Failure::NoAnswer,
                             QStringLiteral("nothing heard within the keepalive (%1 s)")
                                 .arg(client->m_settings.keepaliveSeconds)};
    else
        client->m_failure = {BrokerAnswers::forLibraryError(rc, error),
                             BrokerAnswers::libraryErrorText(rc, error)};
}

void MqttClient::onPublish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    // Taken but not to be delivered (a topic the user may not publish to, a
    // quota): the broker's answer for this message alone.
    if (reason >= 0x80)
        emit client->refused(mid, BrokerAnswers::reasonCodeText(reason));
    else
        emit client->acknowledged(mid);
}
