#include "app/commandline.h"
#include "app/frmtarnel.h"
#include "app/messagelog.h"
#include "app/optionlistplatform.h"
#include "app/qtmessagefilter.h"
#include "app/systemsignals.h"

#include <QApplication>

#include <cstdio>

namespace {

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// Qt's platforms without a screen: nobody sees a window or answers a box.
bool hasScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

FileLocations locationsFor(const CommandLine &commandLine)
{
    const QString folder = commandLine.settingsDir();
    return folder.isEmpty() ? FileLocations::forProgram(QCoreApplication::applicationDirPath())
                            : FileLocations::inOneFolder(folder);
}

int refused(const CommandLine &commandLine)
{
    std::fprintf(stderr, "%s\nSee tarnel --help for the options.\n",
                 commandLine.errorText().toLocal8Bit().constData());
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    installQtMessageFilter();
    QCoreApplication::setApplicationName(QStringLiteral("Tarnel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNEL_VERSION));

    // A wrong option, --help, --help-all and --version are answered without a
    // display, which a board with no screen lacks. Anything else needs the
    // QApplication, which takes Qt's own options (-platform offscreen...) off
    // the command line first.
    if (CommandLine early; !early.parse(argumentsOf(argc, argv))) {
        return refused(early);
    } else if (early.asksForQtOptions()) {
        // Only a QApplication knows Qt's own options.
        QByteArray platformOption("-platform");
        QByteArray platform(optionListPlatform());
        char *qtArgv[] = {argv[0], nullptr, nullptr, nullptr};
        int qtArgc = 1;
        if (!platform.isEmpty()) {
            qtArgv[qtArgc++] = platformOption.data();
            qtArgv[qtArgc++] = platform.data();
        }
        QApplication app(qtArgc, qtArgv);
        early.answer();
    } else if (early.asksForHelpOrVersion()) {
        QCoreApplication app(argc, argv);
        early.answer();
    }
    QApplication app(argc, argv);
    // Parsed again from the QApplication's arguments: on Windows they are
    // the full Unicode ones, which a folder name may need.
    CommandLine commandLine;
    if (!commandLine.parse(QCoreApplication::arguments()))
        return refused(commandLine);

    FrmTarnel window(locationsFor(commandLine));
    window.setHeadless(!hasScreen());
    const MessageLog messageLog(stderr);
    QObject::connect(&window, &FrmTarnel::messageShown, &window,
                     [&messageLog](const QString &text) { messageLog.write(text); });
    SystemSignals systemSignals;
    QObject::connect(&systemSignals, &SystemSignals::quitRequested, &window, &QWidget::close);
    QObject::connect(&systemSignals, &SystemSignals::reopenLogRequested, &window,
                     &FrmTarnel::reopenLog);
    window.show();
    // From the event loop, as a click would come: the window is up by then.
    if (commandLine.startsLogging())
        QMetaObject::invokeMethod(&window, &FrmTarnel::startAtLaunch, Qt::QueuedConnection);
    const int status = app.exec();
    return status != 0 ? status : window.exitStatus();
}
