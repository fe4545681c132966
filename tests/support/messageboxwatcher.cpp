#include "support/messageboxwatcher.h"

#include <QApplication>

MessageBoxWatcher::MessageBoxWatcher()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &MessageBoxWatcher::answer);
    m_timer.start();
}

QStringList MessageBoxWatcher::texts() const
{
    QStringList texts;
    for (const Box &box : m_boxes)
        texts.append(box.text);
    return texts;
}

void MessageBoxWatcher::answer()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    m_boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
    box->accept();
}
