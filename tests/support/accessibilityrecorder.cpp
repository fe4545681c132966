#include "support/accessibilityrecorder.h"

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>

namespace {

// The update handler is a plain function, so the record is too.
QList<AccessibilityRecorder::Update> recorded;

void record(QAccessibleEvent *event)
{
    QAccessibleInterface *accessible = event->accessibleInterface();
    recorded.append({event->type(), accessible ? accessible->role() : QAccessible::NoRole,
                     accessible ? accessible->text(QAccessible::Name) : QString()});
}

void setActive(bool active)
{
    // Offscreen, nothing else turns it on.
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(active);
}

} // namespace

AccessibilityRecorder::AccessibilityRecorder()
{
    QAccessible::installUpdateHandler(&record);
    setActive(true);
}

AccessibilityRecorder::~AccessibilityRecorder()
{
    setActive(false);
    QAccessible::installUpdateHandler(nullptr);
    recorded.clear();
}

const QList<AccessibilityRecorder::Update> &AccessibilityRecorder::updates() const
{
    return recorded;
}

void AccessibilityRecorder::clear()
{
    recorded.clear();
}

QStringList AccessibilityRecorder::announcements() const
{
    QStringList spoken;
    for (const Update &u : recorded) {
        if (u.type == QAccessible::ObjectShow && u.role == QAccessible::Notification)
            spoken.append(u.name);
    }
    return spoken;
}
