// Windows asks each application to save its work when the session ends
// (WM_QUERYENDSESSION, Qt's commitDataRequest): the window then closes the
// normal way, settings saved and log file closed, as on a signal elsewhere.
// Nothing asks to reopen the log there: it is rotated with Stop and Start.
#include "app/systemsignals.h"

#include <QGuiApplication>

SystemSignals::SystemSignals(QObject *parent) : QObject(parent)
{
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, &SystemSignals::quitRequested);
}
