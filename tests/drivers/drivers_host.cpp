// Real serial drivers in the loop: boots an emulated machine whose test
// program (drivers_guest) runs the window against a 16550 and an FTDI USB
// adapter, plays the devices for it from here, and passes when it passes.
//   tarnel_drivers_host [--systemd] <guest test program> <initramfs script>
//                       <init script> [arguments for the guest test program]
// --systemd: the test program runs under systemd, which boots the machine.
#include "emulatedmachine.h"
#include "hostdevices.h"
#include "support/files.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// The whole run, boot included; QEMU is killed when it is up.
constexpr int runLimitMs = 6 * 60 * 1000;

int fail(const QString &why)
{
    std::fprintf(stderr, "drivers test: %s\n", qPrintable(why));
    return 1;
}

struct Kernel
{
    QString image;
    QString modules;
};

// Debian's kernel as tools/install-deps.sh unpacks it.
Kernel findKernel()
{
    QString dir = qEnvironmentVariable("TARNEL_KERNEL_DIR");
    if (dir.isEmpty())
        dir = QDir::homePath() + QStringLiteral("/.cache/tarnel-kernel");
    const QStringList images =
        QDir(dir + QStringLiteral("/boot")).entryList({QStringLiteral("vmlinuz-*")}, QDir::Files);
    if (images.isEmpty())
        return {};
    const QString version = images.first().mid(int(qstrlen("vmlinuz-")));
    const QString modules = dir + QStringLiteral("/lib/modules/") + version;
    if (!QFileInfo(modules).isDir())
        return {};
    return {dir + QStringLiteral("/boot/") + images.first(), modules};
}

// The test program inside, with its output in the shared folder.
QByteArray guestScript(const QStringList &command, const QString &shared)
{
    QByteArray script = "export QT_QPA_PLATFORM=offscreen HOME=/root LANG=C.UTF-8\n"
                        "cd '" +
                        shared.toLocal8Bit() + "'\nexec";
    for (const QString &word : command)
        script += " '" + word.toLocal8Bit() + '\'';
    return script + '\n';
}

// Answers the test's requests until the machine powers off; an empty answer
// means it did, before the time limit.
QString serveRequests(EmulatedMachine &machine, HostDevices &devices, const QElapsedTimer &clock,
                      int limitMs)
{
    QDeadlineTimer deadline(limitMs - clock.elapsed());
    QLocalSocket *requests = machine.requests();
    while (machine.isRunning()) {
        if (deadline.hasExpired()) {
            machine.kill();
            return QStringLiteral("time limit reached; QEMU killed");
        }
        if (!requests->canReadLine()) {
            requests->waitForReadyRead(100);
            continue;
        }
        const QByteArray request = requests->readLine().trimmed();
        const QByteArray reply = devices.handle(request);
        std::printf("%6.1f s  %s: %s\n", clock.elapsed() / 1000.0, request.constData(),
                    reply.constData());
        std::fflush(stdout);
        requests->write(reply + '\n');
        requests->flush();
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const bool systemd = args.size() > 1 && args[1] == QLatin1String("--systemd");
    if (systemd)
        args.removeAt(1);
    if (args.size() < 4)
        return fail(QStringLiteral("usage: tarnel_drivers_host [--systemd] <guest program> "
                                   "<initramfs script> <init script> [guest arguments]"));
    for (int i = 1; i <= 3; ++i)
        args[i] = QFileInfo(args[i]).absoluteFilePath(); // the guest sees the same paths
    QElapsedTimer clock;
    clock.start();

    if (QStandardPaths::findExecutable(QStringLiteral("qemu-system-x86_64")).isEmpty())
        return fail(QStringLiteral("qemu-system-x86_64 is not installed; tools/install-deps.sh "
                                   "installs it (Debian package qemu-system-x86)"));
    if (QStandardPaths::findExecutable(QStringLiteral("busybox")).isEmpty())
        return fail(QStringLiteral("busybox is not installed; tools/install-deps.sh installs it "
                                   "(Debian package busybox-static)"));
    const Kernel kernel = findKernel();
    if (kernel.image.isEmpty())
        return fail(QStringLiteral("no kernel in $TARNEL_KERNEL_DIR or ~/.cache/tarnel-kernel; "
                                   "tools/install-deps.sh puts Debian's linux-image there"));

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/tarnel-drivers-XXXXXX"));
    if (!work.isValid())
        return fail(QStringLiteral("no temporary folder"));
    const QString shared = work.filePath(QStringLiteral("shared"));
    QDir().mkpath(shared);
    const QString initramfs = work.filePath(QStringLiteral("initramfs.gz"));
    QProcess builder;
    builder.setProcessChannelMode(QProcess::MergedChannels);
    builder.start(QStringLiteral("/bin/sh"), {args[2], kernel.modules, args[3], initramfs});
    if (!builder.waitForFinished(120000) || builder.exitCode() != 0)
        return fail(QStringLiteral("cannot build the initramfs: ") +
                    QString::fromLocal8Bit(builder.readAll()));
    writeFile(shared + QStringLiteral("/run.sh"),
              guestScript(QStringList{args[1]} + args.mid(4), shared));

    HostDevices devices(work.path());
    if (!devices.isReady())
        return fail(QStringLiteral("no pseudo-terminals"));
    EmulatedMachine machine({kernel.image, initramfs, shared, work.path(), devices.modemPty(),
                             devices.ftdiPty(), QStringLiteral(TARNEL_FAKESERIAL_PATH), systemd});
    devices.attach(&machine);
    if (const QString error = machine.start(); !error.isEmpty())
        return fail(QStringLiteral("the emulated machine cannot run: ") + error);
    std::printf("machine started after %.1f s\n", clock.elapsed() / 1000.0);

    if (const QString error = serveRequests(machine, devices, clock, runLimitMs); !error.isEmpty())
        return fail(error + QStringLiteral("\n") + machine.log() + QStringLiteral("--- guest:\n") +
                    QString::fromLocal8Bit(readFile(shared + QStringLiteral("/output.txt"))));
    machine.waitForExit(5000);

    const QByteArray output = readFile(shared + QStringLiteral("/output.txt"));
    const QByteArray status = readFile(shared + QStringLiteral("/status")).trimmed();
    std::printf("--- inside the machine:\n%s", output.constData());
    std::printf("machine ended after %.1f s\n", clock.elapsed() / 1000.0);
    if (status.isEmpty())
        return fail(QStringLiteral("the machine ended before its test program did\n") +
                    machine.log());
    if (status != "0")
        return fail(QStringLiteral("the test program inside failed (exit status ") +
                    QString::fromLatin1(status) + QLatin1Char(')'));
    // A run that ran nothing is no pass.
    if (!output.contains("[  PASSED  ]") || output.contains("[  FAILED  ]"))
        return fail(QStringLiteral("the test program inside reported no passed tests"));
    return 0;
}
