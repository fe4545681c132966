#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// tarnel-publish.ini, beside tarnel.ini: where the lines are published, if
// anywhere. Its own file, so that tarnel.ini stays as it is. Each value is
// taken as written after its '=' (see IniFile).
//   [broker]
//   url=mqtts://broker.lab:8883
//   topic=tarnel/bench3/com4
//   client_id=bench3-com4
//   keepalive=20
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
    QString clientId;
    int keepaliveSeconds = 20;
    QString user;
    QByteArray password;
    QString caFile;
    bool verifyCertificate = true;

    struct Loaded
    {
        bool enabled = false; // a broker is named and every setting is right
        QString error;        // why not, when the file names a broker
        QString warning;      // a password others may read
    };

    // The file in the folder that keeps tarnel.ini.
    static QString path(const QString &configDir);
    // Relative file names in the file are taken from that folder; the topic
    // defaults to one made of the host name and port, the client id to one
    // of its own for this machine, folder and port.
    Loaded load(const QString &configDir, int portNumber);

    // The broker as the messages name it.
    QString brokerName() const;

private:
    QString readUrl(const QString &url);
    QString readTopic(const QString &text);
    QString readKeepalive(const QString &text);
    QString readPassword(const QString &text, const QString &fileName, const QString &dir);
};
