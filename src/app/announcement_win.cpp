// Qt's UI Automation bridge does not pass on the notification's appearance,
// but raises a UIA notification event (UiaRaiseNotificationEvent, which
// Narrator and NVDA speak) for a value change that carries text.
#include "app/announcement.h"

#include <QAccessible>
#include <QString>

void announceMessage(QObject *statusLine, const QString &text)
{
    QAccessibleValueChangeEvent event(statusLine, text);
    QAccessible::updateAccessibility(&event);
}
