// Each publishing setting and each broker answer against a real broker.
#include "support/publishinglab.h"

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>
#include <unistd.h>

// What a publishing setting or a broker's answer gives: one clear message,
// lines published or not, and the log exactly as without publishing.
TEST(Publishing, EachWrongSettingIsSaidOnceAndLoggingGoesOn)
{
    QTemporaryDir keys;
    // A lab CA and the broker's certificate from it; another CA, not the lab's;
    // users, one with a password of every character an INI reader would change.
    const QString makeKeys = QStringLiteral(R"(exec 2>/dev/null; cd '%1' &&
        for ca in ca other-ca; do
          openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=$ca -keyout $ca.key -out $ca.pem
        done && printf subjectAltName=IP:127.0.0.1 >san &&
        openssl req -newkey rsa:2048 -nodes -subj /CN=broker -keyout broker.key -out broker.csr &&
        openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
          -extfile san -out broker.pem &&
        openssl req -newkey rsa:2048 -nodes -subj /CN=bench3 -keyout client.key -out client.csr &&
        openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -days 2 -out client.pem &&
        cp client.key client-open.key && chmod 644 client-open.key &&
        mosquitto_passwd -b -c passwd bench3 s3cret &&
        mosquitto_passwd -b passwd odd ' a,b;c\d "e ' &&
        printf 'user bench3\ntopic readwrite probe\ntopic write +/+/+/+\ntopic read #\n' >acl)");
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), makeKeys.arg(keys.path())}),
        0);
    const QStringList tlsListener =
        QStringLiteral("cafile %1/ca.pem\ncertfile %1/broker.pem\nkeyfile %1/broker.key\n"
                       "password_file %1/passwd\nallow_anonymous false")
            .arg(keys.path())
            .split(u'\n');
    const QStringList subscriberOptions =
        QStringLiteral("-h 127.0.0.1 -u bench3 -P s3cret --cafile %1/ca.pem --cert %1/client.pem "
                       "--key %1/client.key")
            .arg(keys.path())
            .split(u' ');
    const QByteArray ca = "\nca_file=" + keys.filePath(QStringLiteral("ca.pem")).toUtf8();
    const QByteArray user = "\nuser=bench3\npassword_file=pw";
    const auto clientKey = [&](const char *cert, const char *key) {
        return ca + user + "\ncert_file=" + keys.filePath(cert).toUtf8() +
               "\nkey_file=" + keys.filePath(key).toUtf8();
    };
    const QByteArray longLine = QByteArray(3000, 'y');
    enum class Delivered { Nothing, Everything, AllButTheLongLine };

    const struct Case
    {
        const char *name;
        QByteArray settings; // after url=mqtts://127.0.0.1:<port> unless it has its own url
        QFile::Permissions mode;
        const char *message; // pattern
        Delivered delivered;
        QByteArray cursor = {}; // a cursor file left by an earlier run, over 5 lines logged then
        bool overwrite = false;
        QStringList broker = {}; // its settings beyond the listener's
    } cases[] = {
        {"TLS, a user and a password file", ca + user, QFile::ReadOwner,
         "Publishing to mqtts://127.0.0.1:\\d+", Delivered::Everything},
        {"the password in a file others may read", ca + "\nuser=bench3\npassword=s3cret",
         QFile::ReadOwner | QFile::ReadOther,
         "Publishing settings: .* holds a password and others may read it$", Delivered::Everything},
        {"a password taken exactly as written", ca + "\nuser=odd\npassword= a,b;c\\d \"e ",
         QFile::ReadOwner, "Publishing to mqtts://127.0.0.1:\\d+", Delivered::Everything},
        {"a wrong password", ca + "\nuser=bench3\npassword=wrong", QFile::ReadOwner,
         "Can't connect to the broker \\(not authorised\\): ", Delivered::Nothing},
        {"a CA that did not sign the broker's certificate",
         "\nca_file=" + keys.filePath(QStringLiteral("other-ca.pem")).toUtf8() + user,
         QFile::ReadOwner, "Can't connect to the broker \\(certificate\\): ", Delivered::Nothing},
        {"the certificate not checked, as asked",
         "\nca_file=" + keys.filePath(QStringLiteral("other-ca.pem")).toUtf8() + user +
             "\nverify_certificate=false",
         QFile::ReadOwner, "Publishing to mqtts://127.0.0.1:\\d+", Delivered::Everything},
        {"no broker there", "url=mqtt://127.0.0.1:1\n", QFile::ReadOwner,
         "Can't connect to the broker \\(refused\\): mqtt://127.0.0.1:1, Connection refused$",
         Delivered::Nothing},
        {"an IPv6 broker", "url=mqtt://[::1]:1\n", QFile::ReadOwner,
         "Can't connect to the broker \\(refused\\): mqtt://\\[::1\\]:1, Connection refused$",
         Delivered::Nothing},
        {"a broker that speaks MQTT 3.1.1 only", "url=mqtt://127.0.0.1:<3.1.1 only>\n",
         QFile::ReadOwner,
         "Publishing to mqtt://127.0.0.1:\\d+.* \\(MQTT 3.1.1: no positions, refusals not "
         "reported\\)$",
         Delivered::Nothing},
        {"a broker name nobody knows", "url=mqtt://no-such-broker.invalid\n", QFile::ReadOwner,
         "Can't connect to the broker \\(unreachable\\): mqtt://no-such-broker.invalid:1883, ",
         Delivered::Nothing},
        {"a name server that never answers: the port's lines are logged meanwhile",
         "url=mqtt://broker.unanswered.invalid\n", QFile::ReadOwner,
         "Can't connect to the broker \\(unreachable\\): mqtt://broker.unanswered.invalid:1883, "
         "no answer to the connection$",
         Delivered::Nothing},
        {"not an MQTT url", "url=http://127.0.0.1\n", QFile::ReadOwner,
         "Publishing settings: the broker's url must be mqtt://host:port or mqtts://host:port, not "
         "http://127.0.0.1$",
         Delivered::Nothing},
        {"a misspelt setting", ca + user + "\npasword=s3cret", QFile::ReadOwner,
         "Publishing settings: unknown setting broker/pasword$", Delivered::Nothing},
        {"a topic with a wildcard", ca + user + "\ntopic=lab/+/com6", QFile::ReadOwner,
         "Publishing settings: the topic must be a plain topic, without \\+ or #: lab/\\+/com6$",
         Delivered::Nothing},
        {"a password file that is not there", ca + "\nuser=bench3\npassword_file=nothing",
         QFile::ReadOwner, "Publishing settings: can't read the password file .*nothing$",
         Delivered::Nothing},
        {"a log overwritten at Start before its lines went out", ca + user, QFile::ReadOwner,
         "Log file overwritten: 60 bytes of it had not been published$", Delivered::Everything,
         "0\n\n", true},
        {"a log replaced by one that differs only before the position", ca + user, QFile::ReadOwner,
         "The log file is not the one last published: publishing it from its start$",
         Delivered::Everything, "12\n" + QByteArray("41,21.5,44\r\n").toHex() + "\n"},
        {"a broker that takes QoS 0 only",
         ca + user,
         QFile::ReadOwner,
         "Can't connect to the broker \\(QoS 1 not supported\\): .*, the broker takes QoS 0 only$",
         Delivered::Nothing,
         {},
         false,
         {"max_qos 0"}},
        {"a broker that keeps no retained messages: the status is not retained",
         ca + user,
         QFile::ReadOwner,
         "Publishing to mqtts://127.0.0.1:\\d+",
         Delivered::Everything,
         {},
         false,
         {"retain_available false"}},
        {"a topic the broker's access list denies",
         ca + user,
         QFile::ReadOwner,
         "The broker refused the line at position 0: Not authorized \\(0x87\\)$",
         Delivered::Nothing,
         {},
         false,
         {"acl_file " + keys.filePath("acl")}},
        {"a broker that takes smaller messages than a line",
         ca + user,
         QFile::ReadOwner,
         "The broker refused the line at position \\d+: Packet too large \\(0x95\\)$",
         Delivered::AllButTheLongLine,
         {},
         false,
         {"message_size_limit 1000"}},
        {"a broker that takes smaller packets than a line: it goes in pieces",
         ca + user,
         QFile::ReadOwner,
         "Publishing to mqtts://127.0.0.1:\\d+",
         Delivered::Everything,
         {},
         false,
         {"max_packet_size 1000"}},
        {"a client certificate, for a broker that requires one",
         clientKey("client.pem", "client.key"),
         QFile::ReadOwner,
         "Publishing to mqtts://127.0.0.1:\\d+",
         Delivered::Everything,
         {},
         false,
         {"require_certificate true"}},
        {"a client key others may read",
         clientKey("client.pem", "client-open.key"),
         QFile::ReadOwner,
         "Publishing settings: .*client-open.key holds a private key and others may read it$",
         Delivered::Everything,
         {},
         false,
         {"require_certificate true"}},
        {"a key that is not the certificate's", clientKey("client.pem", "broker.key"),
         QFile::ReadOwner,
         "Publishing settings: .*broker.key is not the key of the certificate in .*client.pem$",
         Delivered::Nothing},
        {"a broker frozen once connected, found by the keepalive", ca + user + "\nkeepalive=5",
         QFile::ReadOwner,
         "Broker connection lost \\(no answer\\): .*, nothing heard within the keepalive \\(5 "
         "s\\)$",
         Delivered::Nothing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Lab lab;
        ASSERT_TRUE(lab.broker.start(tlsListener + c.broker));
        ASSERT_TRUE(lab.subscriber.start(lab.broker.port(), subscriberOptions));
        ASSERT_TRUE(lab.device.open(lab.dir.path(), publishingPort));
        const QByteArray url = "url=mqtts://127.0.0.1:" + QByteArray::number(lab.broker.port());
        QProcess older; // a broker of its own for the row that names it
        QByteArray settings = c.settings;
        if (settings.contains("<3.1.1 only>")) {
            older.start(QStringLiteral(TARNEL_SOURCE_DIR "/tests/support/mqtt311broker.py"));
            ASSERT_TRUE(older.waitForReadyRead(10000));
            settings.replace("<3.1.1 only>", older.readLine().trimmed());
        }
        lab.configure("[broker]\n" + (settings.startsWith("url=") ? settings : url + settings) +
                          "\n",
                      false, c.overwrite);
        QFile::setPermissions(lab.dir.filePath(QStringLiteral("tarnel-publish.ini")), c.mode);
        writeFile(lab.dir.filePath(QStringLiteral("pw")), "s3cret\n");
        QFile::setPermissions(lab.dir.filePath(QStringLiteral("pw")), QFile::ReadOwner);
        const QByteArray before = deviceLines(40, 45);
        // A second name for the cursor file: it is replaced whole, never rewritten.
        const QString cursorCopy = lab.dir.filePath(QStringLiteral("cursor-copy"));
        if (!c.cursor.isEmpty()) {
            writeFile(lab.log, before);
            writeFile(lab.log + QStringLiteral(".cursor"), c.cursor);
            ASSERT_EQ(::link(qPrintable(lab.log + ".cursor"), qPrintable(cursorCopy)), 0);
        }
        lab.startTarnel();
        if (c.settings.contains("keepalive=")) { // frozen once connected
            ASSERT_TRUE(lab.tarnel->waitForError(messagePattern("Publishing to")));
            lab.broker.freeze();
        }
        if (c.overwrite) {
            ASSERT_TRUE(waitUntil([&] { return fileSize(lab.log) == 0; }));
        }
        const QByteArray sent = deviceLines(10, 20) + longLine + "\r\n" + deviceLines(20, 30);
        QElapsedTimer logging;
        logging.start();
        ASSERT_TRUE(lab.send(sent));
        EXPECT_LT(logging.elapsed(), 3000) << "the port's lines were held up";
        const QByteArray lines = (c.cursor.isEmpty() || c.overwrite ? "" : before) + sent;
        EXPECT_TRUE(lab.tarnel->waitForError(messagePattern(QString::fromLatin1(c.message)), 20000))
            << lab.tarnel->error().toStdString();
        QList<QByteArray> expected; // each line once, the long one left out
        for (const QByteArray &line : lines.split('\n'))
            if (!line.isEmpty() && line != longLine + '\r')
                expected << line.chopped(1);
        const auto payloads = [&] {
            QList<QByteArray> got;
            for (const auto &message : lab.subscriber.messages())
                got << message.payload;
            return got;
        };
        waitUntil(
            [&] {
                return c.delivered == Delivered::AllButTheLongLine
                           ? payloads() == expected
                           : delivery(lines, lab.subscriber.messages()).next == lines.size();
            },
            c.delivered == Delivered::Nothing ? 500 : 10000);
        EXPECT_EQ(readFile(lab.log), lines); // as without publishing
        if (c.delivered == Delivered::AllButTheLongLine) {
            EXPECT_EQ(payloads(), expected);
        } else {
            EXPECT_EQ(delivery(lines, lab.subscriber.messages()).next,
                      c.delivered == Delivered::Everything ? lines.size() : 0);
        }
        EXPECT_EQ(lab.tarnel->error().count(messagePattern(QStringLiteral(
                      "(Publishing settings|Can't connect|Log file|The log file|The broker "
                      "refused|Broker connection lost)"))),
                  QByteArray(c.message).startsWith("Publishing to") ? 0 : 1)
            << lab.tarnel->error().toStdString();
        ASSERT_TRUE(lab.tarnel->finish(true)); // also while a name is being looked up
        EXPECT_EQ(lab.tarnel->exitCode(), 0);
        if (!c.cursor.isEmpty()) {
            EXPECT_EQ(readFile(cursorCopy), c.cursor);
        }
    }
}
