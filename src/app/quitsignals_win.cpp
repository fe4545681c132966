// Windows asks each application to save its work when the session ends
// (WM_QUERYENDSESSION, Qt's commitDataRequest): the window then closes the
// normal way, settings saved and log file closed, as on a signal elsewhere.
#include "app/quitsignals.h"

#include <QGuiApplication>

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, &QuitSignals::quitRequested);
}
