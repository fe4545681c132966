#pragma once

#include <QString>

// Why a connection to the broker failed or ended, in the words the messages
// use, from the MQTT library's errors and the broker's reason codes.
enum class BrokerFailure {
    Unreachable,
    Refused,
    NotAuthorised,
    Certificate,
    NoAnswer,      // nothing heard within the keepalive: a half-open connection
    TakenOver,     // another client connected with the same id
    QosUnsupported // the broker takes QoS 0 only
};

namespace BrokerAnswers {

QString reasonText(BrokerFailure failure);
// A library error (MOSQ_ERR_...), with errno as it was after the call.
BrokerFailure forLibraryError(int rc, int error);
QString libraryErrorText(int rc, int error);
// A broker's MQTT 5 reason code (0x80 and up) or MQTT 3.1.1 CONNACK code.
BrokerFailure forReasonCode(int reason);
QString reasonCodeText(int reason);

} // namespace BrokerAnswers
