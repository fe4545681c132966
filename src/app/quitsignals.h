#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the event loop, so
// that a logout or a kill closes the window the normal way: settings saved,
// log file closed.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);

signals:
    void quitRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};
