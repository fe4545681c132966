#include "app/qtmessagefilter.h"

#include <QString>
#include <QtGlobal>

namespace {

QtMessageHandler qtHandler = nullptr;

bool saysNothing(const QString &message)
{
    // A device's bytes that are no text (a wrong line speed), shown in the
    // status line, fall in scripts no font has: a warning for each one.
    // Started by hand under another user, there is no session's runtime
    // folder, which nothing here uses.
    return message.contains(QLatin1String("OpenType support missing for")) ||
           message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"));
}

void filter(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && saysNothing(message))
        return;
    qtHandler(type, context, message);
}

} // namespace

void installQtMessageFilter()
{
    qtHandler = qInstallMessageHandler(filter);
}
