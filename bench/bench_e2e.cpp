// End-to-end benchmarks through a real pseudo-terminal: the real window
// (offscreen) with Start pressed, against cat, picocom and tio logging the
// same bytes; idle cost, latency and memory. Prints one table row per figure:
//   figure | value | target | met
#include "app/frmtarnel.h"
#include "benchtable.h"
#include "support/fakeserialstate.h"
#include "support/files.h"
#include "support/preload.h"
#include "support/ptydevice.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int portNumber = 9;

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds()
{
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

long statusField(const char *key, pid_t pid = 0)
{
    std::ifstream status(pid ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status");
    std::string word;
    long value = -1;
    while (status >> word) {
        if (word == key) {
            status >> value;
            break;
        }
    }
    return value;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Lines like a busy instrument's, about 80 bytes, comma-separated.
void makeData(const QString &input, const QString &expected, qint64 bytes)
{
    QFile in(input), out(expected);
    in.open(QIODevice::WriteOnly);
    out.open(QIODevice::WriteOnly);
    std::mt19937 random(42);
    QByteArray chunk;
    qint64 written = 0;
    long sequence = 0;
    while (written < bytes) {
        chunk.clear();
        while (chunk.size() < (1 << 20)) {
            chunk += QByteArray::number(++sequence) + ",2026-12-07T17:42:07," +
                     QByteArray::number(random() % 100000) + "," + QByteArray::number(random()) +
                     ",sensor-" + QByteArray::number(random() % 16) + ",OK,padding-to-eighty\r\n";
        }
        in.write(chunk);
        out.write(chunk.replace(',', ';'));
        written += chunk.size();
    }
}

// A child process that writes a file into the device as fast as the kernel
// takes it, once told to go; it is outside the measured process.
class DeviceWriter
{
public:
    DeviceWriter(int masterFd, const QString &dataPath)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[1]);
            char go = 0;
            if (::read(fds[0], &go, 1) != 1)
                ::_exit(1);
            ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) & ~O_NONBLOCK);
            std::ifstream data(dataPath.toStdString(), std::ios::binary);
            std::vector<char> buffer(1 << 16);
            while (data.read(buffer.data(), std::streamsize(buffer.size())) || data.gcount() > 0) {
                const char *p = buffer.data();
                std::streamsize left = data.gcount();
                while (left > 0) {
                    const ssize_t n = ::write(masterFd, p, size_t(left));
                    if (n <= 0)
                        ::_exit(2);
                    p += n;
                    left -= n;
                }
            }
            ::_exit(0);
        }
        ::close(fds[0]);
        m_go = fds[1];
    }
    ~DeviceWriter()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_go >= 0)
            ::close(m_go);
    }
    void go() { [[maybe_unused]] auto n = ::write(m_go, "g", 1); }

private:
    pid_t m_pid = -1;
    int m_go = -1;
};

// Runs the event loop, as the program's own would, until the file is complete.
bool runUntilSize(const QString &path, qint64 size, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    check.setInterval(2);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (fileSize(path) >= size)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return fileSize(path) >= size;
}

struct RunResult
{
    double wall = 0;
    double cpu = 0;
    bool complete = false;
    bool exact = false;
};

class Bench
{
public:
    Bench(qint64 megabytes, int runs) : m_bytes(megabytes << 20), m_runs(runs)
    {
        makeData(m_dir.filePath("input.dat"), m_dir.filePath("expected.log"), m_bytes);
        m_bytes = QFileInfo(m_dir.filePath("input.dat")).size();
        m_device.open(m_dir.path(), portNumber);
        m_window = std::make_unique<FrmTarnel>(m_dir.path());
        m_window->txtPort->setText(QString::number(portNumber));
        m_window->chkOver->setChecked(true);
    }

    bool throughput();
    // Each returns whether it could measure at all (the speed is in the table).
    bool idle(int secondsToRun);
    bool latency(int secondsToRun);

private:
    RunResult runTarnel();
    RunResult runPeer(const QString &program, const QStringList &args, const QString &log);
    bool start(const QString &log)
    {
        m_window->txtFile->setText(log);
        m_window->cmdStart->click();
        return m_window->isLogging();
    }
    void stop() { m_window->cmdStart->click(); }

    QTemporaryDir m_dir;
    qint64 m_bytes;
    int m_runs;
    PtyDevice m_device;
    std::unique_ptr<FrmTarnel> m_window;
};

RunResult Bench::runTarnel()
{
    RunResult result;
    const QString log = m_dir.filePath("tarnel.log");
    if (!start(log))
        return result;
    DeviceWriter writer(m_device.masterFd(), m_dir.filePath("input.dat"));
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    writer.go();
    result.complete = runUntilSize(log, m_bytes, 300000);
    result.wall = seconds(std::chrono::steady_clock::now() - t0);
    result.cpu = cpuSeconds() - cpu0;
    stop();
    result.exact = firstDifference(log, m_dir.filePath("expected.log")) < 0;
    return result;
}

RunResult Bench::runPeer(const QString &program, const QStringList &args, const QString &log)
{
    RunResult result;
    QFile::remove(log);
    QProcess peer;
    peer.setStandardOutputFile(QProcess::nullDevice());
    peer.setStandardErrorFile(QProcess::nullDevice());
    peer.start(program, args);
    if (!peer.waitForStarted())
        return result;
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let it open the port
    DeviceWriter writer(m_device.masterFd(), m_dir.filePath("input.dat"));
    const auto t0 = std::chrono::steady_clock::now();
    writer.go();
    const auto deadline = t0 + std::chrono::seconds(300);
    while (fileSize(log) < m_bytes && std::chrono::steady_clock::now() < deadline &&
           peer.state() == QProcess::Running)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    result.wall = seconds(std::chrono::steady_clock::now() - t0);
    result.complete = fileSize(log) >= m_bytes;
    result.cpu = processCpuSeconds(peer.processId());
    peer.kill();
    peer.waitForFinished();
    result.exact = firstDifference(log, m_dir.filePath("input.dat")) < 0;
    return result;
}

bool Bench::throughput()
{
    const QString slave = m_device.slavePath();
    struct Tool
    {
        QString name;
        QString program;
        QStringList args;
        std::vector<double> wall = {}, cpu = {};
        bool available = true, complete = true, exact = true;
    };
    const QString peerLog = m_dir.filePath("peer.log");
    std::vector<Tool> tools{
        {"tarnel", {}, {}},
        {"cat", "sh", {"-c", "exec cat < " + slave + " > " + peerLog}},
        {"picocom",
         "picocom",
         {"--quiet", "--nolock", "-b", "115200", "--logfile", peerLog, slave}},
        {"tio", "tio", {"--log", "--log-file", peerLog, slave}},
    };
    for (Tool &tool : tools) {
        if (!tool.program.isEmpty())
            tool.available = !QStandardPaths::findExecutable(tool.program).isEmpty();
    }
    const long rssBefore = statusField("VmHWM:");
    for (int run = 0; run < m_runs; ++run) {
        for (Tool &tool : tools) {
            if (!tool.available)
                continue;
            const RunResult r =
                tool.program.isEmpty() ? runTarnel() : runPeer(tool.program, tool.args, peerLog);
            tool.wall.push_back(r.wall);
            tool.cpu.push_back(r.cpu);
            tool.complete = tool.complete && r.complete;
            tool.exact = tool.exact && r.exact;
        }
    }
    const long rssAfter = statusField("VmHWM:");

    const double mb = double(m_bytes) / (1 << 20);
    const double tarnelWall = median(tools[0].wall);
    for (const Tool &tool : tools) {
        const QString figure =
            QStringLiteral("%1 MB through a pty: %2").arg(qRound(mb)).arg(tool.name);
        if (!tool.available) {
            row(figure, "not installed");
            continue;
        }
        const double wall = median(tool.wall);
        QString value = QStringLiteral("%1 s, %2 MB/s, cpu %3 s")
                            .arg(wall, 0, 'f', 2)
                            .arg(mb / wall, 0, 'f', 0)
                            .arg(median(tool.cpu), 0, 'f', 2);
        if (!tool.complete)
            value = "incomplete";
        if (tool.name == "tarnel")
            row(figure + " (byte-exact)", value, "", tool.exact && tool.complete);
        else
            row(figure, value, tool.name == "cat" ? "" : "tarnel ahead",
                tool.name == "cat" ? -1 : int(tarnelWall < wall || !tool.complete));
    }
    if (tools[1].available) {
        const double ratio = tarnelWall / median(tools[1].wall);
        row("tarnel time / cat time", QString::number(ratio, 'f', 2), "<= 1.5", ratio <= 1.5);
    }
    row("peak resident memory before / after",
        QStringLiteral("%1 / %2 MB")
            .arg(rssBefore / 1024.0, 0, 'f', 1)
            .arg(rssAfter / 1024.0, 0, 'f', 1),
        "no growth beyond buffers", rssAfter - rssBefore < 32 * 1024);
    return tools[0].exact && tools[0].complete;
}

bool Bench::idle(int secondsToRun)
{
    // Through the preloaded line-state library: a bare pty answers nothing,
    // and counters that never change stand for an FTDI adapter at rest.
    FakeSerialState fake;
    for (bool counters : {false, true}) {
        const QString what =
            counters ? "idle, with the 100 ms counter poll" : "idle, pty (no line states)";
        if (!fake.isActive()) {
            row(what, "not measured: line-state library not loaded", "", 0);
            return false;
        }
        fake.setMode(counters ? FakeSerial::Counters : FakeSerial::None);
        start(m_dir.filePath("idle.log"));
        const double cpu0 = cpuSeconds();
        const long switches0 = statusField("voluntary_ctxt_switches:");
        QEventLoop loop;
        QTimer::singleShot(secondsToRun * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpuPercent = (cpuSeconds() - cpu0) / secondsToRun * 100;
        const double wakeups =
            double(statusField("voluntary_ctxt_switches:") - switches0) / secondsToRun;
        stop();
        row(what + ": cpu", QString::number(cpuPercent, 'f', 3) + " % of a core", "< 0.5 %",
            cpuPercent < 0.5);
        row(what + ": wake-ups", QString::number(wakeups, 'f', 1) + " per second", "<= 20",
            wakeups <= 20);
    }
    return true;
}

bool Bench::latency(int secondsToRun)
{
    const QString log = m_dir.filePath("latency.log");
    const QString results = m_dir.filePath("latency.bin");
    start(log);
    const int masterFd = m_device.masterFd();
    const pid_t child = ::fork();
    if (child == 0) {
        // Writes a line every 10 ms and watches the log for it.
        std::vector<double> latencies;
        const std::string line = "17,21.5,45.2,latency probe\r\n";
        qint64 expected = 0;
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < secondsToRun * 100; ++i) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            const auto t0 = std::chrono::steady_clock::now();
            if (::write(masterFd, line.data(), line.size()) != ssize_t(line.size()))
                ::_exit(2);
            expected += qint64(line.size());
            while (fileSize(log) < expected) {
                if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5))
                    ::_exit(3);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            latencies.push_back(seconds(std::chrono::steady_clock::now() - t0) * 1000);
        }
        std::ofstream out(results.toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char *>(latencies.data()),
                  std::streamsize(latencies.size() * sizeof(double)));
        out.close(); // _exit runs no destructors: a short result would stay buffered
        ::_exit(out ? 0 : 4);
    }
    QEventLoop loop;
    QTimer poll;
    int status = 0;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (::waitpid(child, &status, WNOHANG) == child)
            loop.quit();
    });
    poll.start(100);
    loop.exec();
    stop();
    QFile file(results);
    std::vector<double> ms;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray raw = file.readAll();
        ms.resize(size_t(raw.size()) / sizeof(double));
        std::memcpy(ms.data(), raw.constData(), ms.size() * sizeof(double));
    }
    if (ms.empty()) {
        row("latency, a line every 10 ms", "failed", "p99 < 50 ms", 0);
        return false;
    }
    std::sort(ms.begin(), ms.end());
    const double p50 = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    row(QStringLiteral("latency, %1 lines every 10 ms: median").arg(ms.size()),
        QString::number(p50, 'f', 2) + " ms");
    row("latency: 99th percentile", QString::number(p99, 'f', 2) + " ms", "< 50 ms", p99 < 50);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    ensureFakeSerialPreloaded(argv);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Tarnel's end-to-end benchmarks through a pseudo-terminal.");
    parser.addHelpOption();
    parser.addOption({"mb", "Megabytes to send through the pty.", "n", "200"});
    parser.addOption({"runs", "Runs of each throughput figure (the median is shown).", "n", "3"});
    parser.addOption({"idle-seconds", "Length of each idle measurement.", "n", "10"});
    parser.addOption({"latency-seconds", "Length of the latency measurement.", "n", "10"});
    parser.process(app);

    Bench bench(parser.value("mb").toLongLong(), parser.value("runs").toInt());
    const bool exact = bench.throughput();
    const bool idleMeasured = bench.idle(parser.value("idle-seconds").toInt());
    const bool latencyMeasured = bench.latency(parser.value("latency-seconds").toInt());
    return exact && idleMeasured && latencyMeasured ? 0 : 1;
}
