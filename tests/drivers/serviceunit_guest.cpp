// The service as the package installs it, in the emulated machine booted by
// systemd (the host's --systemd).
#include "hostlink.h"
#include "protocol.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/ptydevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>

namespace {

const QString ttyS1 = QStringLiteral("/dev/ttyS1");
const QString ttyUSB0 = QStringLiteral("/dev/ttyUSB0");

bool stty(const QString &device, const QStringList &settings)
{
    return QProcess::execute(QStringLiteral("stty"), QStringList{"-F", device} + settings) == 0;
}

// The service as the package installs it, in a machine booted by systemd
// (the host's --systemd): one instance per kind of port logs under the unit's
// sandbox, and the package's scripts restart the running instances and stop them.
TEST(ServiceUnit, LogsFromAUartAUsbAdapterAndAPseudoTerminalAcrossAnUpgrade)
{
    ASSERT_TRUE(host) << "no request channel to the host";
    ASSERT_TRUE(QFileInfo::exists("/run/systemd/system")) << "systemd does not run the machine";
    const auto run = [](const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        const bool ran = process.waitForFinished(60000) && process.exitCode() == 0;
        const QByteArray output = process.readAll().trimmed();
        EXPECT_TRUE(ran) << qPrintable(program) << ' ' << qPrintable(arguments.join(' ')) << ": "
                         << output.constData();
        return output;
    };
    // A container image's ban on starting services (exit 101) does not hold
    // in a booted machine.
    QFile::remove("/usr/sbin/policy-rc.d");
    const QString packaging = QStringLiteral(TARNEL_PACKAGING_DIR);
    run("install", {"-D", TARNEL_PATH, "/usr/bin/tarnel"});
    run("install",
        {"-D", "-m644", packaging + "/tarnel@.service", "/usr/lib/systemd/system/tarnel@.service"});
    run("install",
        {"-D", "-m644", packaging + "/tarnel.sysusers", "/usr/lib/sysusers.d/tarnel.conf"});
    run("sh", {packaging + "/postinst", "configure"});
    // As udev has it; the machine has none.
    run("chgrp", {"dialout", ttyS1, ttyUSB0});
    run("chmod", {"0660", ttyS1, ttyUSB0});
    ASSERT_TRUE(stty(ttyS1, {"clocal"}) && stty(ttyUSB0, {"clocal"}));

    PtyDevice pty;
    struct Instance
    {
        QString name;
        QString device; // empty: the pseudo-terminal
        const char *hostDevice;
        QString dir = "/var/lib/tarnel/" + name;
        QString unit = "tarnel@var-lib-tarnel-" + name + ".service";
    };
    const QList<Instance> instances{{"uart", ttyS1, DriversProtocol::modem},
                                    {"usb", ttyUSB0, DriversProtocol::ftdi},
                                    {"pty", {}, nullptr}};
    for (const Instance &i : instances) {
        ASSERT_TRUE(QDir().mkpath(i.dir));
        ASSERT_TRUE(writeFile(i.dir + "/tarnel.ini", "1\r\n;\r\n" + QFile::encodeName(i.dir) +
                                                         "/log.csv\r\n 0\r\n 0\r\n"));
        ASSERT_TRUE(i.device.isEmpty() ? pty.open(i.dir, 1)
                                       : QFile::link(i.device, i.dir + "/com1"));
        run("chown", {"-R", "tarnel:tarnel", i.dir});
    }
    run("chown", {"tarnel", pty.slavePath()});
    for (const Instance &i : instances)
        run("systemctl", {"start", i.unit});

    // Line n through an instance, once its program holds the device in raw
    // mode (bytes before that the line discipline would cook); the log then
    // holds lines 1 to n.
    const auto logsLine = [&](const Instance &i, int n) {
        const QString device = i.device.isEmpty() ? pty.slavePath() : i.device;
        const QString fds = "/proc/" + run("systemctl", {"show", "-P", "MainPID", i.unit}) + "/fd";
        EXPECT_TRUE(waitUntil(
            [&] {
                const QFileInfoList links = QDir(fds).entryInfoList(QDir::System);
                if (std::none_of(links.begin(), links.end(),
                                 [&](const QFileInfo &f) { return f.symLinkTarget() == device; }))
                    return false;
                return run("stty", {"-F", device, "-a"}).contains("-icanon");
            },
            20000))
            << qPrintable(i.unit) << " does not hold " << qPrintable(device) << " in raw mode";
        const auto line = [&](int k) {
            return i.name.toLatin1() + ',' + QByteArray::number(k) + "\r\n";
        };
        QByteArray logged;
        for (int k = 1; k <= n; ++k)
            logged += line(k).replace(',', ';');
        if (i.hostDevice) {
            const QString file = QDir::current().filePath(i.name + "-line");
            EXPECT_TRUE(writeFile(file, line(n)));
            EXPECT_EQ(
                host->request("send " + QByteArray(i.hostDevice) + ' ' + QFile::encodeName(file)),
                "ok");
        } else {
            EXPECT_TRUE(pty.write(line(n)));
        }
        EXPECT_TRUE(waitUntil([&] { return readFile(i.dir + "/log.csv") == logged; }, 20000))
            << qPrintable(i.unit) << " logged " << readFile(i.dir + "/log.csv").constData();
    };
    QStringList pids;
    for (const Instance &i : instances) {
        logsLine(i, 1);
        pids += run("systemctl", {"show", "-P", "MainPID", i.unit});
    }
    // An upgrade: the instances run the new program.
    run("sh", {packaging + "/postinst", "configure", "0.1.0"});
    for (const Instance &i : instances) {
        EXPECT_NE(run("systemctl", {"show", "-P", "MainPID", i.unit}), pids.takeFirst())
            << qPrintable(i.unit) << " not restarted";
        logsLine(i, 2);
    }
    run("sh", {packaging + "/prerm", "remove"});
    for (const Instance &i : instances)
        EXPECT_EQ(run("systemctl", {"show", "-P", "ActiveState", i.unit}), "inactive")
            << qPrintable(i.unit);
    if (HasFailure())
        std::printf("%s\n",
                    run("journalctl", {"--no-pager", "-o", "cat", "-u", "tarnel@*"}).constData());
}

} // namespace
