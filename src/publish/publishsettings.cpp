#include "publish/publishsettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>

namespace {

const QString prefix = QStringLiteral("Publishing settings: ");
const QStringList knownKeys = {QStringLiteral("url"),
                               QStringLiteral("topic"),
                               QStringLiteral("user"),
                               QStringLiteral("password"),
                               QStringLiteral("password_file"),
                               QStringLiteral("ca_file"),
                               QStringLiteral("verify_certificate")};

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

} // namespace

QString PublishSettings::path(const QString &configDir)
{
    return QDir(configDir).filePath(QStringLiteral("tarnel-publish.ini"));
}

PublishSettings::Loaded PublishSettings::load(const QString &configDir, int portNumber)
{
    Loaded loaded;
    const QString file = path(configDir);
    if (!QFile::exists(file))
        return loaded;
    QSettings ini(file, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        loaded.error = prefix + QStringLiteral("can't read ") + file;
        return loaded;
    }
    auto fail = [&](const QString &why) {
        loaded.error = prefix + why;
        return loaded;
    };
    const QStringList keys = ini.allKeys();
    if (keys.isEmpty())
        return loaded; // an empty file: publishing stays off
    for (const QString &key : keys)
        if (!key.startsWith(QStringLiteral("broker/")) || !knownKeys.contains(key.mid(7)))
            return fail(QStringLiteral("unknown setting ") + key);
    ini.beginGroup(QStringLiteral("broker"));
    const QString url = ini.value(QStringLiteral("url")).toString().trimmed();
    if (url.isEmpty())
        return fail(QStringLiteral("no broker named (url= under [broker])"));
    if (QString why = readUrl(url); !why.isEmpty())
        return fail(why);

    const QString host = topicLevel(QSysInfo::machineHostName());
    const QString port = QStringLiteral("com") + QString::number(portNumber);
    topic = ini.value(QStringLiteral("topic"), QStringLiteral("tarnel/%1/%2").arg(host, port))
                .toString();
    if (topic.isEmpty() || topic.contains(u'+') || topic.contains(u'#'))
        return fail(QStringLiteral("the topic must be a plain topic, without + or #: ") + topic);
    clientId = QStringLiteral("tarnel-") + topic; // one per instance, as its topic

    user = ini.value(QStringLiteral("user")).toString();
    const QString passwordText = ini.value(QStringLiteral("password")).toString();
    const QString passwordFile = ini.value(QStringLiteral("password_file")).toString();
    if (QString why = readPassword(passwordText, passwordFile, configDir); !why.isEmpty())
        return fail(why);
    if (!password.isEmpty() && user.isEmpty())
        return fail(QStringLiteral("a password needs a user"));
    const QString secretFile =
        passwordFile.isEmpty() ? file : QDir(configDir).absoluteFilePath(passwordFile);
    if (!password.isEmpty() && othersMayRead(secretFile))
        loaded.warning =
            prefix + secretFile + QStringLiteral(" holds a password and others may read it");

    const auto verify = readBool(ini.value(QStringLiteral("verify_certificate"), true).toString());
    if (!verify)
        return fail(QStringLiteral("verify_certificate must be true or false"));
    verifyCertificate = *verify;
    const QString ca = ini.value(QStringLiteral("ca_file")).toString();
    if (!ca.isEmpty()) {
        if (!tls)
            return fail(QStringLiteral("a CA file is for an mqtts:// broker only"));
        caFile = QDir(configDir).absoluteFilePath(ca);
        QFile caRead(caFile);
        if (!caRead.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("can't read the CA file ") + caFile);
    }
    loaded.enabled = true;
    return loaded;
}

QString PublishSettings::readUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool pathless = url.path().isEmpty() || url.path() == u"/";
    if (!url.isValid() || url.host().isEmpty() || !pathless || url.hasQuery() ||
        !url.userInfo().isEmpty() || (scheme != u"mqtt" && scheme != u"mqtts"))
        return QStringLiteral("the broker's url must be mqtt://host:port or mqtts://host:port, "
                              "not ") +
               text;
    host = url.host();
    tls = scheme == u"mqtts";
    port = url.port(tls ? 8883 : 1883);
    return {};
}

QString PublishSettings::readPassword(const QString &text, const QString &fileName,
                                      const QString &dir)
{
    if (!text.isEmpty() && !fileName.isEmpty())
        return QStringLiteral("give the password or a password file, not both");
    password = text.toUtf8();
    if (fileName.isEmpty())
        return {};
    QFile file(QDir(dir).absoluteFilePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("can't read the password file ") + file.fileName();
    // Its first line: an editor's line end is not part of the password.
    password = file.readLine(4096);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    return {};
}
