#pragma once

#include <QObject>
#include <QString>

class QLabel;

// The event message the status line shows, as a screen reader sees it: a
// notification inside the status line, which readers speak when it appears
// (Orca presents AT-SPI notifications that become showing). Received lines
// only rename the status line, which readers do not speak unless it has the
// focus, so an operator logging ten lines a second is not flooded.
class StatusMessage : public QObject
{
    Q_OBJECT

public:
    // Makes statusLine a status bar to screen readers, with this inside it.
    explicit StatusMessage(QLabel *statusLine);

    void show(const QString &text);
    void hide();
    bool isShown() const { return m_shown; }
    const QString &text() const { return m_text; }

private:
    QString m_text;
    bool m_shown = false;
};
