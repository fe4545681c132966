#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// tarnel-publish.ini, beside tarnel.ini: where the lines are published, if
// anywhere. Its own file, so that tarnel.ini stays as it is.
//   [broker]
//   url=mqtts://broker.lab:8883
//   topic=tarnel/bench3/com4
//   user=bench3
//   password_file=broker-password   (or password=..., in this file)
//   ca_file=lab-ca.pem
//   verify_certificate=true
struct PublishSettings
{
    QString host;
    int port = 1883;
    bool tls = false;
    QString topic;
    QString user;
    QByteArray password;
    QString caFile;
    bool verifyCertificate = true;
    QString clientId;

    struct Loaded
    {
        bool enabled = false; // a broker is named and every setting is right
        QString error;        // why not, when the file names a broker
        QString warning;      // a password others may read
    };

    // The file in the folder that keeps tarnel.ini.
    static QString path(const QString &configDir);
    // Relative file names in the file are taken from that folder; the
    // topic and client name default to ones made of the host name and port.
    Loaded load(const QString &configDir, int portNumber);

private:
    QString readUrl(const QString &url);
    QString readPassword(const QString &text, const QString &fileName, const QString &dir);
};

// Whether users other than the owner (and the administrators) may read the
// file; one file per platform.
bool othersMayRead(const QString &path);
