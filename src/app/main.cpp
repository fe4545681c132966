#include "app/frmtarnel.h"
#include "app/quitsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnel"));
    FrmTarnel window(FileLocations::forProgram(QCoreApplication::applicationDirPath()));
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &QWidget::close);
    window.show();
    return app.exec();
}
