#include "publish/publishsettings.h"

#include "settings/inifile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>

#include <mosquitto.h>

namespace {

const QString prefix = QStringLiteral("Publishing settings: ");
const QStringList knownKeys = {
    QStringLiteral("url"),          QStringLiteral("topic"),
    QStringLiteral("status_topic"), QStringLiteral("events_topic"),
    QStringLiteral("payload"),      QStringLiteral("client_id"),
    QStringLiteral("keepalive"),    QStringLiteral("user"),
    QStringLiteral("password"),     QStringLiteral("password_file"),
    QStringLiteral("ca_file"),      QStringLiteral("cert_file"),
    QStringLiteral("key_file"),     QStringLiteral("verify_certificate")};
// Values whose blanks at either end can only be a slip: said, not kept.
const QStringList namesAndFiles = {
    QStringLiteral("topic"),     QStringLiteral("status_topic"), QStringLiteral("events_topic"),
    QStringLiteral("client_id"), QStringLiteral("user"),         QStringLiteral("password_file"),
    QStringLiteral("ca_file"),   QStringLiteral("cert_file"),    QStringLiteral("key_file")};
constexpr qsizetype maxMqttString = 65535;

// The host name as one topic level: MQTT's wildcards and level separator
// would change what the topic means.
QString topicLevel(QString name)
{
    for (QChar &c : name)
        if (c == u'/' || c == u'+' || c == u'#')
            c = u'_';
    return name.isEmpty() ? QStringLiteral("host") : name;
}

std::optional<bool> readBool(const QString &text)
{
    const QString value = text.trimmed().toLower();
    if (value == u"true" || value == u"yes" || value == u"1" || value == u"on")
        return true;
    if (value == u"false" || value == u"no" || value == u"0" || value == u"off")
        return false;
    return std::nullopt;
}

// One per machine, settings folder and port, and short enough for any MQTT
// 3.1.1 broker (23 bytes): two instances, or two boards cloned from one
// image, do not take the session from each other.
QString defaultClientId(const QString &configDir, int portNumber)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QSysInfo::machineUniqueId());
    hash.addData(QSysInfo::machineHostName().toUtf8());
    hash.addData(QDir(configDir).absolutePath().toUtf8());
    hash.addData(QByteArray::number(portNumber));
    return QStringLiteral("tarnel-") + QString::fromLatin1(hash.result().toHex().left(16));
}

} // namespace

QString PublishSettings::path(const QString &configDir)
{
    return QDir(configDir).filePath(QStringLiteral("tarnel-publish.ini"));
}

PublishSettings::Loaded PublishSettings::load(const QString &configDir, int portNumber)
{
    Loaded loaded;
    const QString file = path(configDir);
    QFile read(file);
    if (!read.exists())
        return loaded;
    auto fail = [&](const QString &why) {
        loaded.error = prefix + why;
        return loaded;
    };
    if (!read.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("can't read ") + file);
    IniFile ini;
    if (!ini.parse(read.read(1 << 20)))
        return fail(ini.error());
    if (ini.values().isEmpty())
        return loaded; // an empty file: publishing stays off
    for (auto it = ini.values().begin(); it != ini.values().end(); ++it) {
        const QString key = it.key().mid(7);
        if (!it.key().startsWith(QStringLiteral("broker/")) || !knownKeys.contains(key))
            return fail(QStringLiteral("unknown setting ") + it.key());
        if (namesAndFiles.contains(key) && it.value() != it.value().trimmed())
            return fail(key + QStringLiteral(" begins or ends with a blank"));
    }
    const auto value = [&](const char *key) { return ini.value(QLatin1String("broker/") + key); };
    if (QString why = readUrls(value("url")); !why.isEmpty())
        return fail(why);

    const QString defaultTopic = QStringLiteral("tarnel/%1/com%2")
                                     .arg(topicLevel(QSysInfo::machineHostName()))
                                     .arg(portNumber);
    const QString lines = ini.value(QStringLiteral("broker/topic"), defaultTopic);
    if (QString why = readTopics(
            lines,
            ini.value(QStringLiteral("broker/status_topic"), lines + QStringLiteral("/status")),
            ini.value(QStringLiteral("broker/events_topic"), lines + QStringLiteral("/events")));
        !why.isEmpty())
        return fail(why);
    if (QString why = readPayload(value("payload").trimmed()); !why.isEmpty())
        return fail(why);
    clientId =
        ini.value(QStringLiteral("broker/client_id"), defaultClientId(configDir, portNumber));
    if (clientId.isEmpty() || clientId.toUtf8().size() > maxMqttString)
        return fail(QStringLiteral("client_id must be 1 to 65535 bytes"));
    if (QString why = readKeepalive(value("keepalive").trimmed()); !why.isEmpty())
        return fail(why);

    user = value("user");
    const QString passwordFile = value("password_file");
    if (QString why = readPassword(value("password"), passwordFile, configDir); !why.isEmpty())
        return fail(why);
    if (!password.isEmpty() && user.isEmpty())
        return fail(QStringLiteral("a password needs a user"));

    const auto verify =
        readBool(ini.value(QStringLiteral("broker/verify_certificate"), QStringLiteral("true")));
    if (!verify)
        return fail(QStringLiteral("verify_certificate must be true or false"));
    verifyCertificate = *verify;
    if (QString why =
            readTlsFiles(value("ca_file"), value("cert_file"), value("key_file"), configDir);
        !why.isEmpty())
        return fail(why);
    const QString passwordHolder =
        passwordFile.isEmpty() ? file : QDir(configDir).absoluteFilePath(passwordFile);
    if (QString secret = secretsOthersMayRead(passwordHolder); !secret.isEmpty())
        loaded.warning = prefix + secret;
    loaded.enabled = true;
    return loaded;
}

bool PublishSettings::usesTls() const
{
    return std::any_of(brokers.begin(), brokers.end(), [](const Broker &b) { return b.tls; });
}

QString PublishSettings::Broker::name() const
{
    // An IPv6 address in brackets, as in the url, so that its port stands apart.
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    return (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) + shownHost + u':' +
           QString::number(port);
}

// One broker or several, separated by blanks: the first is used while it
// answers, the others when it does not.
QString PublishSettings::readUrls(const QString &text)
{
    const QStringList urls = text.split(u' ', Qt::SkipEmptyParts);
    if (urls.isEmpty())
        return QStringLiteral("no broker named (url= under [broker])");
    for (const QString &each : urls) {
        const QUrl url(each, QUrl::StrictMode);
        const QString scheme = url.scheme();
        const bool pathless = url.path().isEmpty() || url.path() == u"/";
        if (!url.isValid() || url.host().isEmpty() || !pathless || url.hasQuery() ||
            !url.userInfo().isEmpty() || (scheme != u"mqtt" && scheme != u"mqtts"))
            return QStringLiteral("the broker's url must be mqtt://host:port or "
                                  "mqtts://host:port, not ") +
                   each;
        const bool tls = scheme == u"mqtts";
        brokers.append({url.host(), url.port(tls ? 8883 : 1883), tls});
    }
    return {};
}

// The MQTT library takes 5 seconds and more; 0, never asking, would leave a
// half-open connection unnoticed for ever.
QString PublishSettings::readKeepalive(const QString &text)
{
    bool numeric = text.isEmpty();
    keepaliveSeconds = text.isEmpty() ? 20 : text.toInt(&numeric);
    if (!numeric || keepaliveSeconds < 5 || keepaliveSeconds > 65535)
        return QStringLiteral("keepalive must be a number of seconds from 5 to 65535");
    return {};
}

// Topics the broker takes as one topic each to publish to, as the library
// checks them: no wildcard, no NUL, at most 65535 bytes. The status and
// events topics may be left empty: nothing is then published there.
QString PublishSettings::readTopics(const QString &lines, const QString &status,
                                    const QString &events)
{
    topic = lines;
    statusTopic = status;
    eventsTopic = events;
    for (const QString *each : {&topic, &statusTopic, &eventsTopic}) {
        const QByteArray bytes = each->toUtf8();
        if (each != &topic && bytes.isEmpty())
            continue;
        if (bytes.isEmpty() || bytes.size() > maxMqttString ||
            mosquitto_pub_topic_check2(bytes.constData(), size_t(bytes.size())) !=
                MOSQ_ERR_SUCCESS ||
            bytes.contains('\0'))
            return QStringLiteral("the topic must be a plain topic, without + or #: ") + *each;
    }
    return {};
}

QString PublishSettings::readPayload(const QString &text)
{
    if (text.isEmpty() || text == u"line")
        payload = Payload::Line;
    else if (text == u"json")
        payload = Payload::Json;
    else
        return QStringLiteral("payload must be line or json, not ") + text;
    return {};
}
