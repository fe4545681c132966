// The files the publishing settings name: a password, certificates and a
// key, read or checked at Start so that a wrong one is said then, once.
#include "publish/certificatepair.h"
#include "publish/fileaccess.h"
#include "publish/publishsettings.h"

#include <QDir>
#include <QFile>

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

QString PublishSettings::readTlsFiles(const QString &ca, const QString &cert, const QString &key,
                                      const QString &dir)
{
    if ((!ca.isEmpty() || !cert.isEmpty() || !key.isEmpty()) && !usesTls())
        return QStringLiteral("certificates and keys are for an mqtts:// broker only");
    if (!ca.isEmpty()) {
        caFile = QDir(dir).absoluteFilePath(ca);
        QFile read(caFile);
        if (!read.open(QIODevice::ReadOnly))
            return QStringLiteral("can't read the CA file ") + caFile;
    }
    if (cert.isEmpty() != key.isEmpty())
        return QStringLiteral("a client certificate needs both cert_file and key_file");
    if (cert.isEmpty())
        return {};
    // The MQTT library takes a client certificate only with a CA named.
    if (ca.isEmpty())
        return QStringLiteral("a client certificate needs the CA file (ca_file) too");
    certFile = QDir(dir).absoluteFilePath(cert);
    keyFile = QDir(dir).absoluteFilePath(key);
    return CertificatePair::check(certFile, keyFile);
}

// The file that holds the password, and the client key: what would let
// another user of the machine pass for this logger.
QString PublishSettings::secretsOthersMayRead(const QString &passwordHolder) const
{
    if (!password.isEmpty() && FileAccess::othersMayRead(passwordHolder))
        return passwordHolder + QStringLiteral(" holds a password and others may read it");
    if (!keyFile.isEmpty() && FileAccess::othersMayRead(keyFile))
        return keyFile + QStringLiteral(" holds a private key and others may read it");
    return {};
}
