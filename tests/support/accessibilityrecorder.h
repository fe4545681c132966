#pragma once

#include <QAccessible>
#include <QList>
#include <QString>
#include <QStringList>

// What the program tells screen readers while one of these lives: the
// accessibility layer is switched on, as when a reader runs, and every
// update is recorded instead of sent. One at a time.
class AccessibilityRecorder
{
public:
    struct Update
    {
        QAccessible::Event type;
        QAccessible::Role role;
        QString name;
    };

    AccessibilityRecorder();
    ~AccessibilityRecorder();
    AccessibilityRecorder(const AccessibilityRecorder &) = delete;
    AccessibilityRecorder &operator=(const AccessibilityRecorder &) = delete;

    const QList<Update> &updates() const;
    void clear();
    // The names of the notifications that appeared: what readers speak.
    QStringList announcements() const;
};
