#pragma once

#include "support/program.h"
#include "support/ptydevice.h"

#include <QTemporaryDir>
#include <functional>
#include <optional>

// The real program (offscreen, --start) logging a pseudo-terminal in a folder
// of its own, time marks off: line n is at n * 80 in its log. It publishes
// to the topic given, if any.
struct BenchInstance
{
    QTemporaryDir dir;
    PtyDevice device;
    std::optional<Program> tarnel;
    QString log = dir.filePath(QStringLiteral("log.csv"));
    long sent = 0;

    bool launch(int brokerPort, const QString &topic, int portNumber = 6);
    // It has the pseudo-terminal open: from then on nothing sent is lost.
    bool ready() const;
    bool send(long lines); // the next ones
};

// Sends each instance lines at the rate given, every 10 ms those due, until
// the time is up or enough() holds.
void pace(const std::vector<BenchInstance *> &to, double perSecond, double seconds,
          const std::function<bool()> &enough = {});
// Lines [from, to) as the device sends them.
QByteArray benchLines(long from, long to);
// From /proc: resident memory.
double residentMb(qint64 pid);
