#include "app/frmtarnel.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnel"));
    FrmTarnel window(QCoreApplication::applicationDirPath());
    window.show();
    return app.exec();
}
