#pragma once

#include <QObject>

// Turns the system's requests to end the program (SIGTERM, SIGINT and SIGHUP;
// on Windows the end of the session) into a Qt signal on the event loop, so
// that a logout or a kill closes the window the normal way: settings saved,
// log file closed. One source file per platform; the Unix one also keeps a
// file size limit from ending the program.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);

signals:
    void quitRequested();
};
