#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that opens while it lives, recording what
// each one showed, so tests can drive code that reports through a box.
class MessageBoxWatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
    };

    MessageBoxWatcher();
    const QList<Box> &boxes() const { return m_boxes; }
    QStringList texts() const;

private:
    void answer();

    QTimer m_timer;
    QList<Box> m_boxes;
};
