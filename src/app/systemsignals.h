#pragma once

#include <QObject>

// Turns the system's requests into Qt signals on the event loop. To end the
// program (SIGTERM and SIGINT; on Windows the end of the session), so that a
// logout or a kill closes the window the normal way: settings saved, log
// file closed. To open the log file again by its name (SIGHUP, as a log
// rotation's postrotate sends it). One source file per platform; the Unix
// one also keeps a file size limit from ending the program.
class SystemSignals : public QObject
{
    Q_OBJECT

public:
    explicit SystemSignals(QObject *parent = nullptr);

signals:
    void quitRequested();
    void reopenLogRequested();
};
