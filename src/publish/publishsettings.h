#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// tarnel-publish.ini, beside tarnel.ini: where the lines are published, if
// anywhere. Its own file, so that tarnel.ini stays as it is. Each value is
// taken as written after its '=' (see IniFile).
//   [broker]
//   url=mqtts://broker-a.lab:8883 mqtts://broker-b.lab:8883
//   topic=tarnel/bench3/com4
//   status_topic=tarnel/bench3/com4/status   (empty: no status)
//   events_topic=tarnel/bench3/com4/events   (empty: no events)
//   payload=line                              (or json)
//   client_id=bench3-com4
//   keepalive=20
//   user=bench3
//   password_file=broker-password   (or password=..., in this file)
//   ca_file=lab-ca.pem
//   cert_file=bench3.pem
//   key_file=bench3.key
//   verify_certificate=true
struct PublishSettings
{
    struct Broker
    {
        QString host;
        int port = 1883;
        bool tls = false;
        // As the messages name it.
        QString name() const;
    };
    enum class Payload { Line, Json };

    QList<Broker> brokers; // the first that answers is used, in this order
    QString topic;
    QString statusTopic; // retained "online" or "offline", also the will
    QString eventsTopic; // what the window says, with its time
    Payload payload = Payload::Line;
    QString clientId;
    int keepaliveSeconds = 20;
    QString user;
    QByteArray password;
    QString caFile;
    QString certFile;
    QString keyFile;
    bool verifyCertificate = true;

    struct Loaded
    {
        bool enabled = false; // a broker is named and every setting is right
        QString error;        // why not, when the file names a broker
        QString warning;      // a password or a key others may read
    };

    // The file in the folder that keeps tarnel.ini.
    static QString path(const QString &configDir);
    // Relative file names in the file are taken from that folder; the topic
    // defaults to one made of the host name and port, the status and events
    // topics to levels below it, the client id to one of its own for this
    // machine, folder and port.
    Loaded load(const QString &configDir, int portNumber);

    bool usesTls() const;

private:
    QString readUrls(const QString &text);
    QString readTopics(const QString &lines, const QString &status, const QString &events);
    QString readKeepalive(const QString &text);
    QString readPayload(const QString &text);
    QString readPassword(const QString &text, const QString &fileName, const QString &dir);
    QString readTlsFiles(const QString &ca, const QString &cert, const QString &key,
                         const QString &dir);
    QString secretsOthersMayRead(const QString &passwordHolder) const;
};
