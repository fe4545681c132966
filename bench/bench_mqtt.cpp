// Publishing benchmarks: the real program logging pseudo-terminals and
// publishing to Debian's mosquitto, a subscriber in this process timing each
// line's arrival. Prints one table row per figure: figure | value | target | met
#include "benchinstance.h"
#include "benchtable.h"
#include "linecounter.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/testbroker.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <signal.h>
#include <thread>

namespace {

bool allArrived = true; // the exit code: every line, byte-exact

double secondsOf(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

bool arrive(LineCounter &counter, const QString &topic, long count, int timeoutMs)
{
    return waitUntil([&] { return counter.distinct(topic.toStdString()) >= count; }, timeoutMs);
}

// Waits for lines [0, count) on each topic, and says whether each came, exactly.
void checkArrival(LineCounter &counter, const std::vector<std::pair<QString, long>> &topics,
                  const QString &what)
{
    long expected = 0, distinct = 0, repeats = 0, faults = 0;
    for (const auto &[topic, count] : topics) {
        arrive(counter, topic, count, 60000);
        const LineCounter::Topic seen = counter.topic(topic.toStdString());
        expected += count;
        distinct += seen.distinct;
        repeats += seen.repeats;
        faults += seen.faults;
    }
    const bool all = distinct == expected && faults == 0;
    allArrived = allArrived && all;
    row(what + ": every line arrived",
        QString::asprintf("%ld of %ld, %ld repeats, %ld wrong", distinct, expected, repeats,
                          faults),
        "all, byte-exact", all);
}

// One line, latencyLines lines one every 10 ms, then burstLines at once; send()
// hands lines [from, to) to the publisher measured.
void deliver(LineCounter &counter, const QString &name, const QString &topic, long latencyLines,
             long burstLines, const std::function<void(long, long)> &send)
{
    send(0, 1); // connected and subscribed before anything is timed
    arrive(counter, topic, 1, 20000);
    std::vector<Clock::time_point> written(size_t(latencyLines + 1));
    auto next = Clock::now();
    for (long n = 1; n <= latencyLines; ++n) {
        std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
        written[size_t(n)] = Clock::now();
        send(n, n + 1);
    }
    arrive(counter, topic, latencyLines + 1, 20000);
    const auto t0 = Clock::now();
    send(latencyLines + 1, latencyLines + 1 + burstLines);
    checkArrival(counter, {{topic, latencyLines + 1 + burstLines}}, name);
    const LineCounter::Topic seen = counter.topic(topic.toStdString());
    std::vector<double> ms;
    for (long n = 1; n <= latencyLines && size_t(n) < seen.arrived.size(); ++n) {
        if (seen.arrived[size_t(n)] != Clock::time_point{})
            ms.push_back(secondsOf(seen.arrived[size_t(n)] - written[size_t(n)]) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    const Clock::time_point last =
        seen.arrived.empty() ? t0 : *std::max_element(seen.arrived.begin(), seen.arrived.end());
    row(QString::asprintf("%ld lines at once to the subscriber: ", burstLines) + name,
        QString::asprintf("%.0f lines/s", double(burstLines) / secondsOf(last - t0)));
    const double p50 = ms.empty() ? -1 : ms[ms.size() / 2];
    const double p99 = ms.empty() ? -1 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    row("latency, a line every 10 ms: " + name,
        QString::asprintf("median %.2f ms, p99 %.2f ms", p50, p99), "p99 < 50 ms",
        p99 >= 0 && p99 < 50);
}

void serialToSubscriber(TestBroker &broker, LineCounter &counter, long latencyLines,
                        long burstLines)
{
    BenchInstance instance;
    instance.launch(broker.port(), QStringLiteral("bench/serial"));
    waitUntil([&] { return instance.ready(); }, 20000);
    deliver(counter, QStringLiteral("tarnel"), QStringLiteral("bench/serial"), latencyLines,
            burstLines, [&](long from, long to) { instance.device.write(benchLines(from, to)); });
    // The reference reads lines ending in LF and publishes them as they are.
    const std::string command =
        "mosquitto_pub -p " + std::to_string(broker.port()) + " -t bench/reference -q 1 -V 5 -l";
    FILE *pub = ::popen(command.c_str(), "w");
    deliver(counter, QStringLiteral("mosquitto_pub -l"), QStringLiteral("bench/reference"),
            latencyLines, burstLines, [&](long from, long to) {
                const QByteArray bytes = benchLines(from, to).replace("\r\n", "\n");
                std::fwrite(bytes.constData(), 1, size_t(bytes.size()), pub);
                std::fflush(pub);
            });
    ::pclose(pub);
}

// The time a burst takes from the pseudo-terminal into the log file.
double logSeconds(int brokerPort, bool publish, long burstLines)
{
    BenchInstance instance;
    instance.launch(brokerPort, publish ? QStringLiteral("ratio") : QString());
    // Publishing connected first, as in a lab that has been running.
    if (!waitUntil([&] { return instance.ready(); }, 20000) ||
        (publish && !instance.tarnel->waitForError(QRegularExpression("Publishing to"), 20000)))
        return 0;
    const QByteArray bytes = benchLines(0, burstLines);
    const auto t0 = Clock::now();
    instance.device.write(bytes);
    waitUntil([&] { return fileSize(instance.log) >= bytes.size(); }, 300000);
    const double seconds = secondsOf(Clock::now() - t0);
    allArrived = allArrived && readFile(instance.log) == bytes;
    return seconds;
}

void loggingRatio(TestBroker &broker, long burstLines, int runs)
{
    std::vector<double> with, without;
    for (int run = 0; run < runs; ++run) {
        without.push_back(logSeconds(broker.port(), false, burstLines));
        with.push_back(logSeconds(broker.port(), true, burstLines));
    }
    std::sort(with.begin(), with.end());
    std::sort(without.begin(), without.end());
    const double a = without[without.size() / 2], b = with[with.size() / 2];
    const double mb = double(burstLines) * 80 / (1 << 20);
    row(QString::asprintf("%.0f MB into the log, without / with publishing", mb),
        QString::asprintf("%.0f / %.0f MB/s", mb / a, mb / b));
    row("logging speed with / without publishing", QString::asprintf("%.2f", a / b), ">= 0.90",
        a > 0 && b > 0 && a / b >= 0.9);
}

QString meanAndMax(const std::vector<double> &v, const char *unit)
{
    return QString::asprintf("mean %.1f, max %.1f %s",
                             std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()),
                             *std::max_element(v.begin(), v.end()), unit);
}

void lab(TestBroker &broker, LineCounter &counter, int count, int seconds)
{
    std::vector<std::unique_ptr<BenchInstance>> instances;
    std::vector<BenchInstance *> all;
    for (int i = 0; i < count; ++i) {
        instances.push_back(std::make_unique<BenchInstance>());
        all.push_back(instances.back().get());
        all.back()->launch(broker.port(), QStringLiteral("bench/lab/%1").arg(i), i % 9 + 1);
    }
    // A device nobody reads would hold the writes up.
    if (!waitUntil(
            [&] { return std::all_of(all.begin(), all.end(), [](auto i) { return i->ready(); }); },
            120000)) {
        allArrived = false;
        return row("lab", "not every instance opened its device", {}, 0);
    }
    std::vector<double> cpu, rss;
    for (BenchInstance *instance : all)
        cpu.push_back(processCpuSeconds(instance->tarnel->pid()));
    const double brokerCpu = processCpuSeconds(broker.pid());
    pace(all, 100, seconds);
    for (size_t i = 0; i < all.size(); ++i) {
        cpu[i] = (processCpuSeconds(all[i]->tarnel->pid()) - cpu[i]) / seconds * 100;
        rss.push_back(residentMb(all[i]->tarnel->pid()));
    }
    const double brokerPercent = (processCpuSeconds(broker.pid()) - brokerCpu) / seconds * 100;
    std::vector<std::pair<QString, long>> topics;
    for (int i = 0; i < count; ++i)
        topics.emplace_back(QStringLiteral("bench/lab/%1").arg(i), all[size_t(i)]->sent);
    checkArrival(counter, topics,
                 QString::asprintf("lab, %d x 100 lines/s x %d s", count, seconds));
    row("lab: cpu per instance", meanAndMax(cpu, "% of a core"));
    row("lab: broker cpu", QString::asprintf("%.1f %% of a core", brokerPercent));
    row("lab: resident memory per instance", meanAndMax(rss, "MB"));
}

void outage(TestBroker &broker, LineCounter &counter, int seconds)
{
    const QString topic = QStringLiteral("bench/outage");
    BenchInstance instance;
    instance.launch(broker.port(), topic);
    waitUntil([&] { return instance.ready(); }, 20000);
    const qint64 pid = instance.tarnel->pid();
    pace({&instance}, 1000, 5);
    // What the broker has acknowledged is delivered before it goes: it keeps nothing.
    arrive(counter, topic, instance.sent, 20000);
    const double before = residentMb(pid);
    broker.stop();
    const long firstAway = instance.sent;
    pace({&instance}, 1000, seconds);
    const double during = residentMb(pid);
    const long backlog = instance.sent;
    // Held while the subscriber comes back, so that it misses nothing.
    ::kill(pid_t(pid), SIGSTOP);
    const int subscriptions = counter.subscriptions();
    broker.start();
    counter.waitSubscribed(subscriptions + 1, 20000);
    ::kill(pid_t(pid), SIGCONT);
    const auto back = Clock::now();
    // The device goes on meanwhile; then a while more to see memory settle.
    pace({&instance}, 1000, std::max(120, seconds),
         [&] { return counter.distinct(topic.toStdString()) >= backlog; });
    pace({&instance}, 1000, 5);
    const double after = residentMb(pid);
    checkArrival(counter, {{topic, instance.sent}}, QStringLiteral("outage"));
    const LineCounter::Topic seen = counter.topic(topic.toStdString());
    const auto arrival = [&](long n) {
        return size_t(n) < seen.arrived.size() ? seen.arrived[size_t(n)] : Clock::time_point{};
    };
    const auto first = arrival(firstAway), last = arrival(backlog - 1);
    row(QString::asprintf("outage %d s at 1000 lines/s: resident memory", seconds),
        QString::asprintf("%.1f before, %.1f at its end, %.1f after MB", before, during, after),
        "flat (within 4 MB)", std::max(during, after) - before < 4);
    const double publishing = secondsOf(last - first);
    row(QString::asprintf("backlog of %ld lines: time to publish", backlog - firstAway),
        QString::asprintf("%.1f s (%.0f lines/s), reconnected after %.1f s", publishing,
                          double(backlog - firstAway) / publishing, secondsOf(first - back)),
        "caught up with the device", last != Clock::time_point{});
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Publishing to an MQTT broker: speed, a lab, an outage.");
    parser.addHelpOption();
    parser.addOption({"latency-lines", "Lines sent one every 10 ms for the latency.", "n", "1000"});
    parser.addOption({"burst-lines", "Lines sent at once for the rate.", "n", "100000"});
    parser.addOption({"ratio-mb", "Megabytes logged with and without publishing.", "n", "50"});
    parser.addOption({"runs", "Runs of each logging figure (the median is shown).", "n", "3"});
    parser.addOption({"instances", "Instances in the lab.", "n", "50"});
    parser.addOption({"lab-seconds", "Length of the lab run.", "n", "60"});
    parser.addOption({"outage-seconds", "Length of the broker outage.", "n", "600"});
    parser.process(app);

    QTemporaryDir dir;
    TestBroker broker(dir.path());
    LineCounter counter;
    if (!broker.start() || !counter.start(broker.port(), "bench/#")) {
        row("publishing", "no broker: is mosquitto installed?", {}, 0);
        return 1;
    }
    serialToSubscriber(broker, counter, parser.value("latency-lines").toLong(),
                       parser.value("burst-lines").toLong());
    loggingRatio(broker, parser.value("ratio-mb").toLong() * (1 << 20) / 80,
                 parser.value("runs").toInt());
    lab(broker, counter, parser.value("instances").toInt(), parser.value("lab-seconds").toInt());
    outage(broker, counter, parser.value("outage-seconds").toInt());
    return allArrived ? 0 : 1;
}
