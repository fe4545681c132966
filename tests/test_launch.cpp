// The program itself, started as a user or a service starts it: its options,
// logging from launch with --start, and what it writes to standard error
// when it runs without a screen.
#include "support/devicedata.h"
#include "support/eventloop.h"
#include "support/fakeserialstate.h"
#include "support/files.h"
#include "support/program.h"
#include "support/ptydevice.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <optional>

namespace {

constexpr int port = 5;

// tarnel.ini as the window writes it, for port 5 and this log file.
QByteArray settingsFor(const QString &logPath)
{
    return "5\r\n;\r\n" + logPath.toLocal8Bit() + "\r\n 0\r\n 0\r\n";
}

TEST(Launch, OptionsAndLoggingFromLaunch)
{
    // The system's own refusals: EBUSY from a holder's TIOCEXCL, EACCES.
    enum class Device {
        None,
        Linked,
        LinkedAfterThreeSeconds,
        HeldByAnotherInstance,
        HeldExclusively = EBUSY,
        NotPermitted = EACCES
    };
    struct Case
    {
        const char *name;
        QStringList arguments;
        Device device;
        bool logToFolder; // the log file is the settings folder itself: it cannot be opened
        int exitCode;     // -1: still running after its lines, ended by SIGTERM with 0
        QRegularExpression output;
        QStringList messages;  // on standard error, in this order; %1 is the settings folder
        const char *complaint; // about the command line, on standard error
        QByteArray log;
        const char *logName = "log.csv"; // in the settings folder
        // The log file is filled to two bytes short of it before the line comes.
        rlim_t fileSizeLimit = RLIM_INFINITY;
    };
    const QStringList start{"--start"};
    const QRegularExpression nothing("^$");
    const QList<Case> cases{
        {"--help",
         {"--help"},
         Device::None,
         false,
         0,
         QRegularExpression("^Usage: .*--start .*--settings-dir <folder> .*--version",
                            QRegularExpression::DotMatchesEverythingOption),
         {},
         "",
         {}},
        {"--help-all, which lists Qt's own options too",
         {"--help-all"},
         Device::None,
         false,
         0,
         QRegularExpression("^Usage: .*--settings-dir <folder> .*--platform <platformName",
                            QRegularExpression::DotMatchesEverythingOption),
         {},
         "",
         {}},
        {"--version",
         {"--version"},
         Device::None,
         false,
         0,
         QRegularExpression(QStringLiteral("^Tarnel %1\n$").arg(TARNEL_VERSION)),
         {},
         "",
         {}},
        {"an unknown option",
         {"--bogus"},
         Device::None,
         false,
         2,
         nothing,
         {},
         "Unknown option 'bogus'.",
         {}},
        {"an unknown option among Qt's own, whose values are not arguments",
         {"-style", "fusion", "--platformtheme", "none", "--strat"},
         Device::None,
         false,
         2,
         nothing,
         {},
         "Unknown option 'strat'.",
         {}},
        {"an argument",
         {"now"},
         Device::None,
         false,
         2,
         nothing,
         {},
         "Unexpected argument 'now'.",
         {}},
        {"--start, with Qt's own -platform option",
         {"-platform", "offscreen", "--start"},
         Device::Linked,
         false,
         -1,
         nothing,
         {},
         "",
         "a;b\r\n"},
        {"--start, the device linked three seconds after launch",
         start,
         Device::LinkedAfterThreeSeconds,
         false,
         -1,
         nothing,
         {"Device disconnected", "Device reconnected", "Device disconnected"},
         "",
         "a;b\r\n"},
        {"--start, the port held by another instance until it ends",
         start,
         Device::HeldByAnotherInstance,
         false,
         -1,
         nothing,
         {"COM port 5 does not exist or busy", "Device reconnected"},
         "",
         "a;b\r\n"},
        {"--start, the system refuses the port until its holder ends",
         start,
         Device::HeldExclusively,
         false,
         -1,
         nothing,
         {"COM port 5 does not exist or busy", "Device reconnected"},
         "",
         "a;b\r\n"},
        {"--start, the port not permitted until the user may",
         start,
         Device::NotPermitted,
         false,
         -1,
         nothing,
         {"COM port 5 does not exist or busy", "Device reconnected"},
         "",
         "a;b\r\n"},
        {"--start, a log file that cannot be opened",
         start,
         Device::Linked,
         true,
         1,
         nothing,
         {"Can't open or create file: %1"},
         "",
         {}},
        {"--start, a log file at the size limit: part of the line is written",
         start,
         Device::Linked,
         false,
         1,
         nothing,
         {"Can't write to file: %1/log.csv"},
         "",
         QByteArray(1022, 'o') + "a;",
         "log.csv",
         1024},
        {"--start, a log file named with control characters: blanked on standard error",
         start,
         Device::Linked,
         false,
         1,
         nothing,
         {"Can't open or create file: %1/no [1A such   /log.csv"},
         "",
         {},
         "no\x1b[1A\tsuch\u0085\u2028\x7f/log.csv"},
        {"--start with a screen, a log file that cannot be opened",
         {"-platform", "xcb", "--start"},
         Device::Linked,
         true,
         -1,
         nothing,
         {"Can't open or create file: %1"},
         "",
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString logPath = c.logToFolder ? dir.path() : dir.filePath(c.logName);
        if (c.fileSizeLimit != RLIM_INFINITY) {
            ASSERT_TRUE(writeFile(logPath, c.log.first(c.fileSizeLimit - 2)));
        }
        const QString ini = dir.filePath("tarnel.ini");
        // The blank after the port is gone once the window has saved the file.
        ASSERT_TRUE(writeFile(ini, settingsFor(logPath).replace("5\r\n", "5 \r\n")));
        PtyDevice device;
        QTemporaryDir holderDir;
        std::optional<Program> holder;
        const bool refused =
            c.device == Device::HeldExclusively || c.device == Device::NotPermitted;
        std::optional<FakeSerialState> refusals; // through the preloaded library
        if (refused) {
            refusals.emplace();
            refusals->refuseOpens(int(c.device));
        }
        if (c.device == Device::Linked || c.device == Device::HeldByAnotherInstance || refused) {
            ASSERT_TRUE(device.open(dir.path(), port));
        } else { // an adapter not plugged in yet: its link leads nowhere
            ASSERT_TRUE(QFile::link(dir.filePath("gone"), dir.filePath("com5")));
        }
        if (c.device == Device::HeldByAnotherInstance) {
            const QString held = holderDir.filePath("log.csv");
            ASSERT_TRUE(writeFile(holderDir.filePath("tarnel.ini"), settingsFor(held)));
            ASSERT_TRUE(QFile::link(device.slavePath(), holderDir.filePath("com5")));
            holder.emplace(holderDir.path(), start, offscreen());
            ASSERT_TRUE(device.write("x\r\n"));
            ASSERT_TRUE(waitUntil([&] { return readFile(held) == "x\r\n"; }));
        }
        // Without the variable, for the option to be what chooses the platform;
        // and an answer that needs no window needs no display either, as on a
        // board without a screen.
        QProcessEnvironment env = offscreen();
        if (refused) {
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TARNEL_FAKESERIAL_PATH));
            env.insert(QStringLiteral("ASAN_OPTIONS"),
                       env.value(QStringLiteral("ASAN_OPTIONS")) + ":verify_asan_link_order=0");
        }
        const bool noWindow = c.exitCode == 0 || c.exitCode == 2;
        if (c.arguments.contains("-platform") || noWindow)
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (noWindow) {
            env.remove(QStringLiteral("DISPLAY"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        }
        QProcess screen; // an X server of its own for a row that asks for X
        if (c.arguments.contains("xcb")) {
            screen.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp"});
            ASSERT_TRUE(screen.waitForReadyRead(10000)) << "Xvfb did not start";
            env.insert(QStringLiteral("DISPLAY"), u':' + screen.readAllStandardOutput().trimmed());
            // D-Bus, which the X platform starts, keeps a buffer for the process's life.
            env.insert(QStringLiteral("ASAN_OPTIONS"),
                       env.value(QStringLiteral("ASAN_OPTIONS")) + ":detect_leaks=0");
        }

        Program tarnel(dir.path(), c.arguments, env, c.fileSizeLimit);
        if (c.device == Device::HeldByAnotherInstance || refused) {
            EXPECT_TRUE(tarnel.waitForError(messageLine(c.messages.value(0))));
            if (refused)
                refusals->refuseOpens(0);
            else
                ASSERT_TRUE(holder->finish(true));
            EXPECT_TRUE(tarnel.waitForError(messageLine(c.messages.value(1))));
        }
        if (c.device == Device::LinkedAfterThreeSeconds) {
            EXPECT_TRUE(tarnel.waitForError(messageLine(c.messages.value(0))));
            runEventLoop(3000);
            ASSERT_TRUE(tarnel.isRunning());
            // Set as stty would before the link appears: the first open keeps it.
            const PtyDevice::LineSettings custom{250000, false, false};
            ASSERT_TRUE(device.open(dir.path(), port, &custom));
            EXPECT_TRUE(tarnel.waitForError(messageLine(c.messages.value(1))));
            EXPECT_EQ(device.lineSettings().baudRate, 250000u);
        }
        if (c.exitCode < 0 || c.fileSizeLimit != RLIM_INFINITY) {
            ASSERT_TRUE(device.write("a,b\r\n"));
            EXPECT_TRUE(waitUntil([&] { return readFile(logPath) == c.log; }));
        }
        if (c.device == Device::LinkedAfterThreeSeconds) {
            // Once it has opened, a port waited for at launch is reopened like any other.
            device.closeMaster();
            EXPECT_TRUE(
                waitUntil([&] { return tarnel.error().count("Device disconnected") == 2; }));
        }
        // Its last message out, the program is up and handles SIGTERM itself.
        if (!c.messages.isEmpty()) {
            EXPECT_TRUE(tarnel.waitForError(
                messageLine(QString(c.messages.last()).replace("%1", dir.path()))));
        }
        ASSERT_TRUE(tarnel.finish(c.exitCode < 0));
        EXPECT_EQ(tarnel.exitCode(), qMax(c.exitCode, 0));
        EXPECT_TRUE(c.output.match(tarnel.output()).hasMatch());
        const QString error = tarnel.error();
        qsizetype at = 0;
        for (const QString &message : c.messages) {
            const auto match =
                messageLine(QString(message).replace("%1", dir.path())).match(error, at);
            EXPECT_TRUE(match.hasMatch()) << message.toStdString() << " in " << error.toStdString();
            at = match.capturedEnd();
        }
        EXPECT_TRUE(error.contains(QLatin1String(c.complaint))) << error.toStdString();
        if (!c.logToFolder) {
            EXPECT_EQ(readFile(logPath), c.log);
        }
        // Only a window saves the settings: in their canonical form when it closes.
        const bool windowRan = c.exitCode < 0 || c.exitCode == 1;
        EXPECT_EQ(readFile(ini), windowRan ? settingsFor(logPath)
                                           : settingsFor(logPath).replace("5\r\n", "5 \r\n"));
        screen.kill();
        screen.waitForFinished();
    }
}

// As the service runs it: no screen, the messages in the journal.
TEST(Launch, WithoutAScreenMessagesGoToStandardErrorAndSigtermEndsCleanly)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString logPath = dir.filePath("log.csv");
    const QString ini = dir.filePath("tarnel.ini");
    ASSERT_TRUE(writeFile(ini, settingsFor(logPath).replace("5\r\n", "5 \r\n")));
    PtyDevice device;
    ASSERT_TRUE(device.open(dir.path(), port));
    FakeSerialState lines; // line states for the pseudo-terminal, through the preloaded library
    lines.setMode(FakeSerial::Counters);
    QProcessEnvironment env = offscreen();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR")); // as for a program started by hand as its user
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TARNEL_FAKESERIAL_PATH));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + ":verify_asan_link_order=0");

    Program tarnel(dir.path(), {QStringLiteral("--start")}, env);
    const QByteArray bytes = everyByteValue() + "\r\n" + longLineWithCommas(100'000) + "\r\n";
    ASSERT_TRUE(device.write(bytes));
    EXPECT_TRUE(
        waitUntil([&] { return readFile(logPath) == QByteArray(bytes).replace(',', ';'); }));
    ASSERT_TRUE(waitUntil([&] { return lines.calls() > 0; })) << "the line states are not read";
    lines.count(FakeSerial::Cts);
    EXPECT_TRUE(tarnel.waitForError(messageLine("Change in CTS Detected")));
    device.closeMaster();
    EXPECT_TRUE(tarnel.waitForError(messageLine("Device disconnected")));

    ASSERT_TRUE(tarnel.finish(true));
    EXPECT_EQ(tarnel.exitCode(), 0);
    EXPECT_EQ(readFile(ini), settingsFor(logPath)) << "not saved at SIGTERM";
    // The journal holds the program's own lines only, whatever the bytes were.
    for (const QString &line : tarnel.error().split(u'\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(messagePattern(QStringLiteral(".")).match(line).hasMatch()) << qPrintable(line);
    EXPECT_EQ(readFile(logPath), QByteArray(bytes).replace(',', ';'));
}

} // namespace
