// tarnel-sim as the device, driving the real window.
#include "app/frmtarnel.h"
#include "support/eventloop.h"
#include "support/files.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(Simulator, ReplayedLinesArriveByteExact)
{
    QTemporaryDir dir;
    QByteArray replay;
    QByteArray expected;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray line =
            QByteArray::number(i) + ",21." + QByteArray::number(i % 10) + ",\xc3\xa9";
        replay += line + (i % 2 ? "\n" : "\r\n"); // either line end in the file
        expected += QByteArray(line).replace(',', '|') + "\r\n";
    }
    const QString replayPath = dir.filePath("replay.txt");
    QFile replayFile(replayPath);
    ASSERT_TRUE(replayFile.open(QIODevice::WriteOnly));
    replayFile.write(replay);
    replayFile.close();

    QProcess sim;
    sim.start(QStringLiteral(TARNEL_SIM_PATH),
              {"--dir", dir.path(), "--port", "6", "--burst", "--replay", replayPath});
    ASSERT_TRUE(sim.waitForStarted());
    const QString link = dir.filePath("com6");
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(link).exists(); }));

    FrmTarnel window(dir.path());
    const QString logPath = dir.filePath("sim.csv");
    window.txtPort->setText("6");
    window.txtDelim->setText("|");
    window.txtFile->setText(logPath);
    window.cmdStart->click();
    ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(waitUntil([&] { return readFile(logPath).size() >= expected.size(); }, 10000));
    EXPECT_EQ(readFile(logPath), expected);
    window.cmdStart->click();

    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished());
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(link).isSymLink()); // the link goes with the simulator
}

TEST(Simulator, SensorLinesAtTheGivenRate)
{
    QTemporaryDir dir;
    QProcess sim;
    sim.start(QStringLiteral(TARNEL_SIM_PATH),
              {"--dir", dir.path(), "--port", "2", "--rate", "50", "--count", "20"});
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(dir.filePath("com2")).exists(); }));
    FrmTarnel window(dir.path());
    const QString logPath = dir.filePath("sensor.csv");
    window.txtPort->setText("2");
    window.txtFile->setText(logPath);
    window.cmdStart->click();
    EXPECT_TRUE(waitUntil([&] { return readFile(logPath).count('\n') == 20; }, 5000));
    const QList<QByteArray> lines = readFile(logPath).split('\n');
    // sequence;temperature;humidity, numbered from 1 without gaps
    for (int i = 0; i < 20; ++i) {
        const QList<QByteArray> fields = lines[i].chopped(1).split(';');
        ASSERT_EQ(fields.size(), 3) << lines[i].toStdString();
        EXPECT_EQ(fields[0].toInt(), i + 1);
        EXPECT_TRUE(fields[1].contains('.') && fields[2].contains('.'));
    }
    sim.terminate();
    sim.waitForFinished();
}

TEST(Simulator, RejectsBadOptions)
{
    for (const QStringList &args : {QStringList{"--rate", "0"}, QStringList{"--port", "x"},
                                    QStringList{"--bogus"}, QStringList{"extra"}}) {
        QProcess sim;
        sim.start(QStringLiteral(TARNEL_SIM_PATH), args);
        ASSERT_TRUE(sim.waitForFinished());
        EXPECT_EQ(sim.exitCode(), 2) << args.join(' ').toStdString();
    }
    QProcess help;
    help.start(QStringLiteral(TARNEL_SIM_PATH), {"--help"});
    ASSERT_TRUE(help.waitForFinished());
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().contains("--replay"));
}

} // namespace
