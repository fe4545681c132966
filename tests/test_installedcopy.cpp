// Where an installed copy keeps its files: the program runs as an ordinary
// user (nobody, when the tests run as root) from a folder it may or may not
// write, with its own home and configuration folder.
#include "support/eventloop.h"
#include "support/files.h"
#include "support/ptydevice.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;

// Hands a path to the user the child runs as.
void giveAway(const QString &path)
{
    if (::geteuid() == 0) [[maybe_unused]]
        const int ignored = ::chown(QFile::encodeName(path).constData(), nobody, nogroup);
}

struct ChildRun
{
    QMap<QString, QString> report;
    int exitCode = -1;
};

// Runs the child program from programDir with this home, as nobody when we
// are root, writing a line into the device while it runs.
ChildRun runChild(const QString &programDir, const QString &home, PtyDevice &device, int port)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    env.remove("XDG_DOCUMENTS_DIR");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    const QString program = programDir + "/installedcopy_child";
    const QStringList args{QString::number(port)};
    if (::geteuid() == 0)
        child.start("setpriv",
                    QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", program} +
                        args);
    else
        child.start(program, args);
    EXPECT_TRUE(child.waitForStarted());
    while (!child.waitForFinished(100))
        device.write("7,21.5\r\n");
    ChildRun run;
    run.exitCode = child.exitCode();
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            run.report.insert(QString::fromLocal8Bit(line.first(eq)),
                              QString::fromLocal8Bit(line.sliced(eq + 1)));
    }
    return run;
}

TEST(InstalledCopy, SettingsPortLinksAndLogGoWhereTheUserMayWrite)
{
    // Whether the user may write the program folder; whether the installer
    // marked the copy as installed (so that an administrator's run is one).
    for (const auto &[writableProgramDir, marked] :
         {std::pair{false, false}, std::pair{true, false}, std::pair{true, true}}) {
        SCOPED_TRACE(::testing::Message() << writableProgramDir << marked);
        const bool oneFolder = writableProgramDir && !marked;
        QTemporaryDir base;
        ASSERT_TRUE(base.isValid());
        ::chmod(QFile::encodeName(base.path()).constData(), 0755);
        const QString programDir = base.filePath("bin");
        const QString home = base.filePath("home");
        ASSERT_TRUE(QDir().mkpath(programDir) && QDir().mkpath(home));
        ASSERT_TRUE(
            QFile::copy(QStringLiteral(TARNEL_CHILD_PATH), programDir + "/installedcopy_child"));
        ASSERT_TRUE(!marked || writeFile(programDir + "/installed.txt", "by the installer\n"));
        giveAway(home);
        if (writableProgramDir)
            giveAway(programDir);
        else if (::geteuid() != 0) // not ours to write, as /usr/bin is not
            ::chmod(QFile::encodeName(programDir).constData(), 0555);

        // The port links live where the settings do; the user makes them.
        const QString configDir = oneFolder ? programDir : home + "/config/tarnel";
        const QString logPath = oneFolder ? programDir + "/log.csv" : home + "/Documents/log.csv";
        ASSERT_TRUE(QDir().mkpath(configDir));
        giveAway(configDir);
        PtyDevice device;
        ASSERT_TRUE(device.open(configDir, 7));
        ::chmod(QFile::encodeName(device.slavePath()).constData(), 0666);

        const ChildRun first = runChild(programDir, home, device, 7);
        EXPECT_EQ(first.exitCode, 0);
        EXPECT_EQ(first.report.value("log"), logPath);
        EXPECT_EQ(first.report.value("started"), "yes");
        EXPECT_EQ(first.report.value("logged"), "7;21.5");
        EXPECT_TRUE(readFile(configDir + "/tarnel.ini").startsWith("7\r\n|\r\n"));
        EXPECT_EQ(QFileInfo::exists(programDir + "/tarnel.ini"), oneFolder);

        const ChildRun second = runChild(programDir, home, device, 7);
        EXPECT_EQ(second.report.value("port"), "7");
        EXPECT_EQ(second.report.value("delimiter"), "|");
        EXPECT_EQ(second.report.value("time"), "2"); // Qt::Checked
        ::chmod(QFile::encodeName(programDir).constData(), 0755);
    }
}

} // namespace
