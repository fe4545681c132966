#include "benchinstance.h"

#include "linecounter.h"
#include "support/files.h"

#include <QDir>

#include <fstream>
#include <thread>
#include <unistd.h>

bool BenchInstance::launch(int brokerPort, const QString &topic, int portNumber)
{
    writeFile(dir.filePath(QStringLiteral("tarnel.ini")),
              QByteArray::number(portNumber) + "\r\n,\r\n" + log.toLocal8Bit() + "\r\n0\r\n1\r\n");
    if (!topic.isEmpty())
        writeFile(dir.filePath(QStringLiteral("tarnel-publish.ini")),
                  QStringLiteral("[broker]\nurl=mqtt://127.0.0.1:%1\ntopic=%2\n")
                      .arg(brokerPort)
                      .arg(topic)
                      .toUtf8());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!device.open(dir.path(), portNumber))
        return false;
    tarnel.emplace(dir.path(), QStringList{QStringLiteral("--start")}, env);
    return true;
}

bool BenchInstance::ready() const
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(tarnel->pid()));
    const auto open = fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(open.begin(), open.end(), [&](const QFileInfo &fd) {
        return fd.symLinkTarget() == device.slavePath();
    });
}

bool BenchInstance::send(long lines)
{
    sent += lines;
    return device.write(benchLines(sent - lines, sent));
}

void pace(const std::vector<BenchInstance *> &to, double perSecond, double seconds,
          const std::function<bool()> &enough)
{
    std::vector<long> first;
    for (BenchInstance *instance : to)
        first.push_back(instance->sent);
    const auto t0 = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
    for (auto next = t0; elapsed() < seconds && !(enough && enough());) {
        const long due = long(elapsed() * perSecond);
        for (size_t i = 0; i < to.size(); ++i)
            to[i]->send(first[i] + due - to[i]->sent);
        std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
    }
}

QByteArray benchLines(long from, long to)
{
    std::string bytes;
    for (long n = from; n < to; ++n)
        bytes += benchLine(n);
    return QByteArray::fromStdString(bytes);
}

double residentMb(qint64 pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = -1;
    statm >> size >> resident;
    return double(resident) * double(::sysconf(_SC_PAGESIZE)) / (1 << 20);
}
