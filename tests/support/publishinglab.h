#pragma once

// What the publishing tests share: the device's lines, a lab of one (broker,
// subscriber, device and the real program) and how far the messages carry the log.
#include "support/eventloop.h"
#include "support/files.h"
#include "support/program.h"
#include "support/ptydevice.h"
#include "support/testbroker.h"

#include <QTemporaryDir>

#include <algorithm>
#include <optional>

constexpr int publishingPort = 6; // COM6, the port the lab's tarnel.ini names

// Line i as the device sends it, and now and then a hard one: very long (cut
// into pieces for the broker), empty, or any byte value but the line end.
inline QByteArray deviceLine(int i)
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

inline QByteArray deviceLines(int from, int to)
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

inline Delivery delivery(const QByteArray &log, const QList<TestSubscriber::Message> &messages,
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
