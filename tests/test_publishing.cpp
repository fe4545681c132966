// Publishing to a real broker: Debian's mosquitto started here, the real
// program logging a pseudo-terminal, and mosquitto_sub reading what arrives.
#include "support/eventloop.h"
#include "support/files.h"
#include "support/program.h"
#include "support/ptydevice.h"
#include "support/testbroker.h"

#include "publish/eventqueue.h"
#include "publish/inflightwindow.h"
#include "publish/logtail.h"
#include "publish/publisher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

constexpr int port = 6;

// Line i as the device sends it, and now and then a hard one: very long (cut
// into pieces for the broker), empty, or any byte value but the line end.
QByteArray deviceLine(int i)
{
    QByteArray line = QByteArray::number(i) + ",21.5,44";
    if (i == 3 || i == 103)
        line += QByteArray(300 * 1024, 'x');
    if (i == 5)
        line.clear();
    if (i == 7)
        for (int b = 1; b < 256; ++b)
            line += (b == '\r' ? 't' : char(b));
    return line + "\r\n";
}

QByteArray deviceLines(int from, int to)
{
    QByteArray bytes;
    for (int i = from; i < to; ++i)
        bytes += deviceLine(i);
    return bytes;
}

// A lab of one: broker, subscriber, device and the program, in one folder.
struct Lab
{
    QTemporaryDir dir;
    TestBroker broker{dir.path()};
    TestBroker second{dir.path()}; // for a row with a pair of brokers
    TestSubscriber subscriber;
    PtyDevice device;
    QString log = dir.filePath(QStringLiteral("log.csv"));
    std::optional<Program> tarnel;

    void configure(const QByteArray &publishSettings, bool timeMarks, bool overwrite = false)
    {
        writeFile(dir.filePath(QStringLiteral("tarnel.ini")),
                  "6\r\n,\r\n" + log.toLocal8Bit() + (timeMarks ? "\r\n1" : "\r\n0") +
                      (overwrite ? "\r\n1\r\n" : "\r\n0\r\n"));
        writeFile(dir.filePath(QStringLiteral("tarnel-publish.ini")), publishSettings);
    }
    // With the preloaded library, whose name server never answers for some names.
    void startTarnel()
    {
        QProcessEnvironment env = offscreen();
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TARNEL_FAKESERIAL_PATH));
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + ":verify_asan_link_order=0");
        tarnel.emplace(dir.path(), QStringList{QStringLiteral("--start")}, env);
    }
    // Sends the lines, spread over the time given, and waits until the log has them.
    bool send(const QByteArray &bytes, int overMs = 0)
    {
        const qint64 expected = std::max<qint64>(0, fileSize(log)) + bytes.size();
        const int parts = overMs ? overMs / 20 : 1;
        for (int part = 0; part < parts; ++part) {
            const qsizetype from = bytes.size() * part / parts;
            device.write(bytes.mid(from, bytes.size() * (part + 1) / parts - from));
            runEventLoop(overMs / parts);
        }
        return waitUntil([&] { return fileSize(log) >= expected; }, 20000);
    }
};

// How far the messages carry the log, line by line in order: each new one
// where the last ended, each repeat (after an outage) told by its position.
struct Delivery
{
    qint64 next = 0;
    int repeats = 0;
    QString fault;
};

Delivery delivery(const QByteArray &log, const QList<TestSubscriber::Message> &messages,
                  const QByteArray &generation = {})
{
    Delivery d;
    for (const auto &message : messages) {
        if (!generation.isEmpty() && message.generation != generation)
            continue;
        if (message.payload != log.mid(message.position, message.payload.size()))
            d.fault = QStringLiteral("not the log's bytes at %1").arg(message.position);
        else if (message.position < d.next)
            ++d.repeats;
        else if (message.position > d.next)
            d.fault = QStringLiteral("lost or out of order before %1").arg(message.position);
        else
            d.next += message.payload.size() +
                      (log.mid(d.next + message.payload.size(), 2) == "\r\n" ? 2 : 0);
        if (!d.fault.isEmpty())
            break;
    }
    return d;
}

// logrotate as a service's rotation runs it: the log renamed away, a new one
// made in its place, and SIGHUP to the program.
bool rotate(const QString &log, qint64 pid)
{
    const QString config = log + QStringLiteral(".logrotate");
    writeFile(config, QStringLiteral("%1 {\n create\n rotate 2\n postrotate\n  kill -HUP %2\n"
                                     " endscript\n}\n")
                          .arg(log)
                          .arg(pid)
                          .toUtf8());
    QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner);
    return QProcess::execute(QStringLiteral("logrotate"),
                             {QStringLiteral("-f"), QStringLiteral("-s"),
                              log + QStringLiteral(".state"), config}) == 0;
}

} // namespace

TEST(Publishing, EveryLineArrivesThroughOutagesAndRestarts)
{
    enum class Away {
        TenSeconds,
        ProgramEndedMeanwhile,
        ProgramKilledInBacklog,
        LogTruncated, // in place, as logrotate's copytruncate: positions start again
        LogRotated,   // renamed away: published to its end, then the new one
        FirstOfTwo    // of two bridged brokers: the lines go to the second, then back
    };
    const struct Case
    {
        const char *name;
        Away away;
        int linesWhileAway;
        int maxRepeats;
        QByteArray settings = {};
    } cases[] = {
        {"broker stopped for ten seconds in the middle", Away::TenSeconds, 1000, 50},
        {"program ended by SIGTERM while the broker is away", Away::ProgramEndedMeanwhile, 300, 50},
        {"program killed while publishing a backlog", Away::ProgramKilledInBacklog, 20000, 20300},
        {"log truncated in place while the broker is away, lines as JSON", Away::LogTruncated, 300,
         50, "payload=json\n"},
        {"log rotated by logrotate while the broker is away", Away::LogRotated, 300, 50},
        {"the first of two bridged brokers killed, and back", Away::FirstOfTwo, 1000, 50},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Lab lab;
        const bool pair = c.away == Away::FirstOfTwo;
        QStringList bridge; // from the first to the second, each way
        if (pair) {
            ASSERT_TRUE(lab.second.start());
            bridge = QStringLiteral("connection second\naddress 127.0.0.1:%1\ntopic # both 1\n"
                                    "cleansession false\nrestart_timeout 1\n"
                                    "bridge_protocol_version mqttv50")
                         .arg(lab.second.port())
                         .split(u'\n');
        }
        ASSERT_TRUE(lab.broker.start(bridge));
        QByteArray url = "mqtt://127.0.0.1:" + QByteArray::number(lab.broker.port());
        if (pair)
            url += " mqtt://127.0.0.1:" + QByteArray::number(lab.second.port());
        TestBroker &watched = pair ? lab.second : lab.broker;
        ASSERT_TRUE(lab.subscriber.start(watched.port()));
        ASSERT_TRUE(lab.device.open(lab.dir.path(), port));
        lab.configure("[broker]\nurl=" + url + "\n" + c.settings, true);
        lab.startTarnel();
        ASSERT_TRUE(lab.send(deviceLines(0, 200), 1000));
        const auto statusIs = [&](const QByteArray &status) {
            return waitUntil(
                [&] {
                    const QByteArrayList seen = lab.subscriber.payloadsOn("/status");
                    return !seen.isEmpty() && seen.constLast() == status;
                },
                30000);
        };
        const auto eventSeen = [&](const QString &pattern) {
            const QRegularExpression event(
                QStringLiteral(
                    "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d) ") +
                pattern);
            return waitUntil(
                [&] {
                    const QByteArrayList events = lab.subscriber.payloadsOn("/events");
                    return std::any_of(events.begin(), events.end(), [&](const QByteArray &e) {
                        return event.match(QString::fromUtf8(e)).hasMatch();
                    });
                },
                10000);
        };
        Delivery d;
        const auto delivered = [&](const QString &path = {}, const QByteArray &generation = {}) {
            const QByteArray log = readFile(path.isEmpty() ? lab.log : path);
            return waitUntil(
                [&] {
                    d = delivery(log, lab.subscriber.messages(), generation);
                    return d.next == log.size() || !d.fault.isEmpty();
                },
                30000);
        };
        // What the broker has acknowledged is its to deliver: it goes
        // once that has been, not to lose it in its own crash.
        ASSERT_TRUE(delivered());
        EXPECT_TRUE(statusIs("online"));
        if (c.away == Away::TenSeconds) { // unplugged and back, said on the events topic
            lab.device.closeMaster();
            EXPECT_TRUE(eventSeen(QStringLiteral("Device disconnected$")));
            ASSERT_TRUE(lab.device.open(lab.dir.path(), port));
            EXPECT_TRUE(eventSeen(QStringLiteral("Device reconnected$")));
        }
        // Silent first, as behind a dropped network: lines go out and
        // are never acknowledged.
        lab.broker.freeze();
        ASSERT_TRUE(lab.send(deviceLines(200, 250), 300));
        lab.broker.stop();
        ASSERT_TRUE(lab.send(deviceLines(250, 200 + c.linesWhileAway), c.away == Away::TenSeconds
                                                                           ? 10000
                                                                       : pair ? 3000
                                                                              : 0));
        if (c.away == Away::ProgramEndedMeanwhile) {
            ASSERT_TRUE(lab.tarnel->finish(true));
        }
        const bool logChanged = c.away == Away::LogTruncated || c.away == Away::LogRotated;
        if (c.away == Away::LogTruncated) {
            ASSERT_TRUE(QFile::resize(lab.log, 0));
        }
        if (c.away == Away::LogRotated) {
            ASSERT_TRUE(rotate(lab.log, lab.tarnel->pid()));
        }
        if (logChanged) {      // and the new log grows past where publishing stood
            runEventLoop(300); // the signal handled
            ASSERT_TRUE(lab.send(deviceLines(0, 300)));
        }
        if (c.away == Away::LogRotated) { // again, before the first is published
            ASSERT_TRUE(rotate(lab.log, lab.tarnel->pid()));
            runEventLoop(300);
            ASSERT_TRUE(lab.send(deviceLines(300, 400)));
        }
        // Held while the subscriber comes back, so that it misses nothing.
        if (c.away == Away::TenSeconds)
            ::kill(pid_t(lab.tarnel->pid()), SIGSTOP);
        ASSERT_TRUE(lab.broker.start());
        if (!pair) {
            ASSERT_TRUE(lab.subscriber.start(lab.broker.port()));
        }
        if (c.away == Away::TenSeconds) {
            ::kill(pid_t(lab.tarnel->pid()), SIGCONT);
            EXPECT_TRUE(eventSeen(QStringLiteral("Broker connection lost \\(.*\\): ") + url))
                << lab.subscriber.payloadsOn("/events").join('\n').toStdString();
        }
        if (c.away == Away::ProgramKilledInBacklog) {
            ASSERT_TRUE(lab.tarnel->waitForError(messagePattern("Broker connection back"), 20000));
            EXPECT_TRUE(statusIs("online"));
            runEventLoop(200);
            ::kill(pid_t(lab.tarnel->pid()), SIGKILL);
            lab.tarnel->finish(false);
            EXPECT_TRUE(statusIs("offline")) << "the will was not published";
        }
        if (pair) { // back to the first once it answers again
            const QRegularExpression first =
                messagePattern(QStringLiteral("Publishing to ") + url.split(' ')[0]);
            EXPECT_TRUE(waitUntil([&] { return lab.tarnel->error().count(first) == 2; },
                                  Publisher::returnCheckMs + 20000));
        }
        if (c.away != Away::TenSeconds && !logChanged)
            lab.startTarnel();
        ASSERT_TRUE(lab.send(deviceLines(1500, 1600)));
        QByteArray generation;      // after a change of the log, which starts positions again
        QByteArrayList generations; // in the order they came
        if (logChanged) {
            ASSERT_TRUE(waitUntil(
                [&] {
                    for (const auto &message : lab.subscriber.messages())
                        if (!generations.contains(message.generation))
                            generations << message.generation;
                    return generations.size() == (c.away == Away::LogRotated ? 3 : 2);
                },
                30000));
            generation = generations.constLast();
            EXPECT_TRUE(lab.tarnel->error().contains(c.away == Away::LogTruncated
                                                         ? "The log file was shortened"
                                                         : "The log file was rotated"));
        }
        if (c.away == Away::LogRotated) {
            EXPECT_TRUE(delivered(lab.log + QStringLiteral(".2"), generations[0]))
                << "the first rotated log was not published to its end";
            EXPECT_TRUE(delivered(lab.log + QStringLiteral(".1"), generations[1]))
                << "the log rotated while the first waited was not published";
        }
        delivered(lab.log, generation);
        EXPECT_EQ(d.fault.toStdString(), "");
        EXPECT_EQ(d.next, fileSize(lab.log)) << "not every line arrived";
        EXPECT_LE(d.repeats, c.maxRepeats);
        ASSERT_TRUE(lab.tarnel->finish(true));
        EXPECT_TRUE(statusIs("offline")) << "not said at the end";
    }
}

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
        ASSERT_TRUE(lab.device.open(lab.dir.path(), port));
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

// The log read back as the broker gets it: lines without their CR LF, longer
// ones in pieces, each with its position; and at most a window of them out.
TEST(Publishing, LinesPiecesAndTheWindowOfMessagesOut)
{
    const struct Case
    {
        QByteArray log;
        qsizetype piece;
        QStringList expected; // position:text
    } cases[] = {
        {"a,b\r\n\r\nhalf", 8, {"0:a,b", "5:"}}, // an unfinished line waits
        {"abcdefgh\r\nabcdefghi\r\n", 8, {"0:abcdefgh", "10:abcdefgh", "18:i"}},
        {"abc\rdefg\r\n", 4, {"0:abc", "3:\rdef", "7:g"}}, // no piece ends in a CR
        {"ab\r\r\r\r\n", 2, {"0:ab", "2:\r", "3:\r\r"}},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.log.toStdString());
        writeFile(path, c.log);
        LogTail tail;
        ASSERT_TRUE(tail.open(path, 0));
        tail.setPieceBytes(c.piece);
        QStringList got;
        while (const auto line = tail.next())
            got << QString::number(line->position) + u':' + QString::fromLatin1(line->text);
        EXPECT_EQ(got, c.expected);
    }

    InFlightWindow window;
    int sent = 0;
    for (; window.hasRoom() && sent < 1000; ++sent)
        window.sent({sent * 12, "line", sent * 12 + 12}, sent + 1);
    EXPECT_EQ(sent, InFlightWindow::maxMessages);
    window.clear();
    window.sent({0, QByteArray(InFlightWindow::maxBytes, 'x'), 0}, 1);
    EXPECT_FALSE(window.hasRoom());
    // The cursor passes only what has nothing unanswered before it.
    window.clear();
    window.sent({0, "a", 3}, 1);
    window.sent({3, "b", 6}, 2);
    window.answer(2);
    EXPECT_EQ(window.advance(0), 0);
    window.answer(1);
    EXPECT_EQ(window.advance(0), 6);

    // Events while the broker is away: the oldest dropped first, their count
    // told ahead of the rest, and what was in flight sent again after a loss.
    EventQueue events;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < EventQueue::maxKept + 5; ++i)
        events.add(now, QString::number(i));
    EventQueue::Event *next = events.nextUnsent();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->text, "5 older messages were dropped while the broker was away");
    next->messageId = 1;
    events.add(now, QStringLiteral("last"));
    next = events.nextUnsent();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->text, "6");
    next->messageId = 2;
    events.forgetSent();
    EXPECT_EQ(events.nextUnsent()->text, "6 older messages were dropped while the broker was away");
    events.nextUnsent()->messageId = 3;
    EXPECT_TRUE(events.answered(3));
    EXPECT_FALSE(events.answered(1)); // of an earlier connection
    EXPECT_EQ(events.nextUnsent()->text, "6");
    EXPECT_EQ(events.unanswered(), EventQueue::maxKept);
}
