// Publishing to a real broker: Debian's mosquitto started here, the real
// program logging a pseudo-terminal, and mosquitto_sub reading what arrives.
#include "support/eventloop.h"
#include "support/files.h"
#include "support/program.h"
#include "support/ptydevice.h"
#include "support/testbroker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <signal.h>

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
    void startTarnel()
    {
        tarnel.emplace(dir.path(), QStringList{QStringLiteral("--start")}, offscreen());
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

Delivery delivery(const QByteArray &log, const QList<TestSubscriber::Message> &messages)
{
    Delivery d;
    for (const auto &message : messages) {
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

} // namespace

TEST(Publishing, EveryLineArrivesThroughOutagesAndRestarts)
{
    enum class Away { TenSeconds, ProgramEndedMeanwhile, ProgramKilledInBacklog };
    const struct Case
    {
        const char *name;
        Away away;
        int linesWhileAway;
        int maxRepeats;
    } cases[] = {
        {"broker stopped for ten seconds in the middle", Away::TenSeconds, 1000, 50},
        {"program ended by SIGTERM while the broker is away", Away::ProgramEndedMeanwhile, 300, 50},
        {"program killed while publishing a backlog", Away::ProgramKilledInBacklog, 20000, 20300},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Lab lab;
        ASSERT_TRUE(lab.broker.start());
        ASSERT_TRUE(lab.subscriber.start(lab.broker.port()));
        ASSERT_TRUE(lab.device.open(lab.dir.path(), port));
        lab.configure(
            "[broker]\nurl=mqtt://127.0.0.1:" + QByteArray::number(lab.broker.port()) + "\n", true);
        lab.startTarnel();
        ASSERT_TRUE(lab.send(deviceLines(0, 200), 1000));
        Delivery d;
        const auto delivered = [&] {
            const QByteArray log = readFile(lab.log);
            return waitUntil(
                [&] {
                    d = delivery(log, lab.subscriber.messages());
                    return d.next == log.size() || !d.fault.isEmpty();
                },
                30000);
        };
        // What the broker has acknowledged is its to deliver: it goes
        // once that has been, not to lose it in its own crash.
        ASSERT_TRUE(delivered());
        // Silent first, as behind a dropped network: lines go out and
        // are never acknowledged.
        lab.broker.freeze();
        ASSERT_TRUE(lab.send(deviceLines(200, 250), 300));
        lab.broker.stop();
        ASSERT_TRUE(lab.send(deviceLines(250, 200 + c.linesWhileAway),
                             c.away == Away::TenSeconds ? 10000 : 0));
        if (c.away == Away::ProgramEndedMeanwhile) {
            ASSERT_TRUE(lab.tarnel->finish(true));
        }
        // Held while the subscriber comes back, so that it misses nothing.
        if (c.away == Away::TenSeconds)
            ::kill(pid_t(lab.tarnel->pid()), SIGSTOP);
        ASSERT_TRUE(lab.broker.start());
        ASSERT_TRUE(lab.subscriber.start(lab.broker.port()));
        if (c.away == Away::TenSeconds)
            ::kill(pid_t(lab.tarnel->pid()), SIGCONT);
        if (c.away == Away::ProgramKilledInBacklog) {
            ASSERT_TRUE(lab.tarnel->waitForError(messagePattern("Broker connection back"), 20000));
            runEventLoop(200);
            ::kill(pid_t(lab.tarnel->pid()), SIGKILL);
            lab.tarnel->finish(false);
        }
        if (c.away != Away::TenSeconds)
            lab.startTarnel();
        ASSERT_TRUE(lab.send(deviceLines(1500, 1600)));
        delivered();
        EXPECT_EQ(d.fault.toStdString(), "");
        EXPECT_EQ(d.next, fileSize(lab.log)) << "not every line arrived";
        EXPECT_LE(d.repeats, c.maxRepeats);
    }
}

// What a publishing setting or a broker refusal gives: one clear message at
// Start, lines published or not, and the log exactly as without publishing.
TEST(Publishing, EachWrongSettingIsSaidOnceAndLoggingGoesOn)
{
    QTemporaryDir keys;
    // A lab CA and the broker's certificate from it; another CA, not the lab's; a user.
    const QString makeKeys = QStringLiteral(R"(exec 2>/dev/null; cd '%1' &&
        for ca in ca other-ca; do
          openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=$ca -keyout $ca.key -out $ca.pem
        done && printf subjectAltName=IP:127.0.0.1 >san &&
        openssl req -newkey rsa:2048 -nodes -subj /CN=broker -keyout broker.key -out broker.csr &&
        openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
          -extfile san -out broker.pem && mosquitto_passwd -b -c passwd bench3 s3cret)");
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), makeKeys.arg(keys.path())}),
        0);
    const QStringList tlsListener =
        QStringLiteral("cafile %1/ca.pem\ncertfile %1/broker.pem\nkeyfile %1/broker.key\n"
                       "password_file %1/passwd\nallow_anonymous false")
            .arg(keys.path())
            .split(u'\n');
    const QStringList subscriberOptions =
        QStringLiteral("-h 127.0.0.1 -u bench3 -P s3cret --cafile %1/ca.pem")
            .arg(keys.path())
            .split(u' ');
    const QByteArray ca = "\nca_file=" + keys.filePath(QStringLiteral("ca.pem")).toUtf8();
    const QByteArray user = "\nuser=bench3";

    const struct Case
    {
        const char *name;
        QByteArray settings; // after url=mqtts://127.0.0.1:<port> unless it has its own url
        QFile::Permissions mode;
        const char *message; // pattern
        bool published;
        QByteArray cursor = {}; // a cursor file left by an earlier run, over 5 lines logged then
        bool overwrite = false;
    } cases[] = {
        {"TLS, a user and a password file", ca + user + "\npassword_file=pw", QFile::ReadOwner,
         "Publishing to mqtts://127.0.0.1:\\d+", true},
        {"the password in a file others may read", ca + user + "\npassword=s3cret",
         QFile::ReadOwner | QFile::ReadOther,
         "Publishing settings: .* holds a password and others may read it$", true},
        {"a wrong password", ca + user + "\npassword=wrong", QFile::ReadOwner,
         "Can't connect to the broker \\(not authorised\\): ", false},
        {"a CA that did not sign the broker's certificate",
         "\nca_file=" + keys.filePath(QStringLiteral("other-ca.pem")).toUtf8() + user +
             "\npassword_file=pw",
         QFile::ReadOwner, "Can't connect to the broker \\(certificate\\): ", false},
        {"the certificate not checked, as asked",
         "\nca_file=" + keys.filePath(QStringLiteral("other-ca.pem")).toUtf8() + user +
             "\npassword_file=pw\nverify_certificate=false",
         QFile::ReadOwner, "Publishing to mqtts://127.0.0.1:\\d+", true},
        {"no broker there", "url=mqtt://127.0.0.1:1\n", QFile::ReadOwner,
         "Can't connect to the broker \\(unreachable\\): mqtt://127.0.0.1:1", false},
        {"a broker name nobody knows", "url=mqtt://no-such-broker.invalid\n", QFile::ReadOwner,
         "Can't connect to the broker \\(unreachable\\): mqtt://no-such-broker.invalid:1883, ",
         false},
        {"not an MQTT url", "url=http://127.0.0.1\n", QFile::ReadOwner,
         "Publishing settings: the broker's url must be mqtt://host:port or mqtts://host:port, not "
         "http://127.0.0.1$",
         false},
        {"a misspelt setting", ca + user + "\npasword=s3cret", QFile::ReadOwner,
         "Publishing settings: unknown setting broker/pasword$", false},
        {"a password file that is not there", ca + user + "\npassword_file=nothing",
         QFile::ReadOwner, "Publishing settings: can't read the password file .*nothing$", false},
        {"a log overwritten at Start before its lines went out", ca + user + "\npassword_file=pw",
         QFile::ReadOwner, "Log file overwritten: 5 of its lines had not been published$", true,
         "0\n\n", true},
        {"a log replaced since it was published", ca + user + "\npassword_file=pw",
         QFile::ReadOwner,
         "The log file is not the one last published: publishing it from its start$", true,
         "12\n" + QByteArray("another log's line").toHex() + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Lab lab;
        ASSERT_TRUE(lab.broker.start(tlsListener));
        ASSERT_TRUE(lab.subscriber.start(lab.broker.port(), subscriberOptions));
        ASSERT_TRUE(lab.device.open(lab.dir.path(), port));
        const QByteArray url = "url=mqtts://127.0.0.1:" + QByteArray::number(lab.broker.port());
        lab.configure("[broker]\n" +
                          (c.settings.startsWith("url=") ? c.settings : url + c.settings) + "\n",
                      false, c.overwrite);
        QFile::setPermissions(lab.dir.filePath(QStringLiteral("tarnel-publish.ini")), c.mode);
        writeFile(lab.dir.filePath(QStringLiteral("pw")), "s3cret\n");
        QFile::setPermissions(lab.dir.filePath(QStringLiteral("pw")), QFile::ReadOwner);
        const QByteArray before = deviceLines(40, 45);
        if (!c.cursor.isEmpty()) {
            writeFile(lab.log, before);
            writeFile(lab.log + QStringLiteral(".cursor"), c.cursor);
        }
        lab.startTarnel();
        const QByteArray lines =
            (c.cursor.isEmpty() || c.overwrite ? "" : before) + deviceLines(10, 30);
        EXPECT_TRUE(lab.tarnel->waitForError(messagePattern(QString::fromLatin1(c.message)), 10000))
            << lab.tarnel->error().toStdString();
        ASSERT_TRUE(lab.send(deviceLines(10, 30)));
        waitUntil([&] { return delivery(lines, lab.subscriber.messages()).next == lines.size(); },
                  c.published ? 10000 : 500);
        EXPECT_EQ(readFile(lab.log), lines); // as without publishing
        EXPECT_EQ(delivery(lines, lab.subscriber.messages()).next, c.published ? lines.size() : 0);
        EXPECT_EQ(lab.tarnel->error().count(QRegularExpression(
                      QStringLiteral("Publishing settings|Can't connect|Log file|log file"))),
                  c.published && !c.settings.contains("password=") && c.cursor.isEmpty() ? 0 : 1);
    }
}
