// The program's start as main() does it, run by test_installedcopy.cpp as an
// ordinary user from a folder it copies this program into. It reports what
// the window loaded, logs one line from port N with the default log path,
// changes three settings and closes the window:
//   installedcopy_child N      prints key=value lines on stdout
#include "app/frmtarnel.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

namespace {

void report(const char *key, const QString &value)
{
    std::printf("%s=%s\n", key, value.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    FrmTarnel window(FileLocations::forProgram(QCoreApplication::applicationDirPath()));
    report("port", window.txtPort->text());
    report("delimiter", window.txtDelim->text());
    report("time", QString::number(window.chkTime->checkState()));
    const QString log = window.txtFile->text();
    report("log", log);

    MessageBoxWatcher boxes;
    window.txtPort->setText(QString::fromLocal8Bit(argv[1]));
    window.cmdStart->click();
    report("started", window.isLogging() ? QStringLiteral("yes") : boxes.texts().join(u'|'));
    if (window.isLogging() && waitUntil([&] { return readFile(log).contains("\r\n"); }, 10000))
        report("logged", QString::fromLocal8Bit(readFile(log).split('\r').front()));
    window.cmdStart->click();

    window.txtDelim->setText(QStringLiteral("|"));
    window.chkTime->setChecked(true);
    window.close();
    std::fflush(stdout);
    return 0;
}
