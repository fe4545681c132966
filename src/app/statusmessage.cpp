#include "app/statusmessage.h"

#include "app/announcement.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QLabel>

namespace {

StatusMessage *messageOf(const QObject *statusLine)
{
    return statusLine
               ? statusLine->findChild<StatusMessage *>(QString(), Qt::FindDirectChildrenOnly)
               : nullptr;
}

// The status line: a status bar named by the text it shows.
class StatusLineAccessible : public QAccessibleWidget
{
public:
    explicit StatusLineAccessible(QLabel *label) : QAccessibleWidget(label, QAccessible::StatusBar)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name) // what the line shows, as for any label
            return static_cast<QLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return shownMessage() ? 1 : 0; }
    QAccessibleInterface *child(int index) const override
    {
        StatusMessage *message = shownMessage();
        return index == 0 && message ? QAccessible::queryAccessibleInterface(message) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == shownMessage() ? 0 : -1;
    }

private:
    StatusMessage *shownMessage() const
    {
        StatusMessage *message = messageOf(widget());
        return message && message->isShown() ? message : nullptr;
    }
};

// The message inside it, while it is shown.
class StatusMessageAccessible : public QAccessibleObject
{
public:
    explicit StatusMessageAccessible(StatusMessage *message) : QAccessibleObject(message) {}

    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(object()->parent());
    }
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? message()->text() : QString();
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.invisible = !message()->isShown();
        return s;
    }
    QRect rect() const override
    {
        const QAccessibleInterface *line = parent();
        return line ? line->rect() : QRect();
    }

private:
    StatusMessage *message() const { return static_cast<StatusMessage *>(object()); }
};

QAccessibleInterface *statusFactory(const QString &, QObject *object)
{
    if (auto *message = qobject_cast<StatusMessage *>(object))
        return new StatusMessageAccessible(message);
    if (auto *label = qobject_cast<QLabel *>(object); label && messageOf(label))
        return new StatusLineAccessible(label);
    return nullptr;
}

} // namespace

StatusMessage::StatusMessage(QLabel *statusLine) : QObject(statusLine)
{
    static const bool installed = (QAccessible::installFactory(&statusFactory), true);
    Q_UNUSED(installed);
}

void StatusMessage::show(const QString &text)
{
    m_text = text;
    m_shown = true;
    QAccessibleEvent shown(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
    announceMessage(parent(), text);
}

void StatusMessage::hide()
{
    if (!m_shown)
        return;
    m_shown = false;
    QAccessibleEvent hidden(this, QAccessible::ObjectHide);
    QAccessible::updateAccessibility(&hidden);
}
