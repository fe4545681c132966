#include "publish/brokeranswers.h"

#include <cerrno>
#include <cstring>
#include <mosquitto.h>

namespace {

constexpr int windowsConnectionRefused = 10061; // WSAECONNREFUSED, as errno there

} // namespace

QString BrokerAnswers::reasonText(BrokerFailure failure)
{
    switch (failure) {
    case BrokerFailure::Refused:
        return QStringLiteral("refused");
    case BrokerFailure::NotAuthorised:
        return QStringLiteral("not authorised");
    case BrokerFailure::Certificate:
        return QStringLiteral("certificate");
    case BrokerFailure::NoAnswer:
        return QStringLiteral("no answer");
    case BrokerFailure::TakenOver:
        return QStringLiteral("another client took over this id");
    case BrokerFailure::QosUnsupported:
        return QStringLiteral("QoS 1 not supported");
    case BrokerFailure::Unreachable:
        break;
    }
    return QStringLiteral("unreachable");
}

BrokerFailure BrokerAnswers::forLibraryError(int rc, int error)
{
    switch (rc) {
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
        return BrokerFailure::Certificate;
    case MOSQ_ERR_AUTH:
        return BrokerFailure::NotAuthorised;
    case MOSQ_ERR_CONN_REFUSED:
        return BrokerFailure::Refused;
    case MOSQ_ERR_KEEPALIVE:
        return BrokerFailure::NoAnswer;
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
        return BrokerFailure::QosUnsupported;
    case MOSQ_ERR_ERRNO: // nothing listens there
        if (error == ECONNREFUSED || error == windowsConnectionRefused)
            return BrokerFailure::Refused;
        break;
    }
    return BrokerFailure::Unreachable;
}

QString BrokerAnswers::libraryErrorText(int rc, int error)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(error));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

BrokerFailure BrokerAnswers::forReasonCode(int reason)
{
    switch (reason) {
    case 4:    // 3.1.1: bad user name or password
    case 5:    // 3.1.1: not authorised
    case 0x86: // bad user name or password
    case 0x87: // not authorised
    case 0x8A: // banned
    case 0x8C: // bad authentication method
        return BrokerFailure::NotAuthorised;
    case 0x8E: // session taken over
        return BrokerFailure::TakenOver;
    case 0x9B: // QoS not supported
        return BrokerFailure::QosUnsupported;
    default:
        return BrokerFailure::Refused;
    }
}

QString BrokerAnswers::reasonCodeText(int reason)
{
    return QString::fromUtf8(mosquitto_reason_string(reason)) +
           QStringLiteral(" (0x%1)").arg(reason, 2, 16, QLatin1Char('0'));
}
