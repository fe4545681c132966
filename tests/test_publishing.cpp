// Publishing to a real broker through outages: Debian's mosquitto started
// here, the real program logging a pseudo-terminal, and mosquitto_sub
// reading what arrives.
#include "support/publishinglab.h"

#include "publish/publisher.h"

#include <QFile>
#include <gtest/gtest.h>
#include <signal.h>

namespace {

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
        ASSERT_TRUE(lab.device.open(lab.dir.path(), publishingPort));
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
            ASSERT_TRUE(lab.device.open(lab.dir.path(), publishingPort));
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
