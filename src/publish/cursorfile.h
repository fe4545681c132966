#pragma once

#include <QByteArray>
#include <QString>

// Where publishing stands in a log: the position of the first line the
// broker has not acknowledged, kept in <log>.cursor beside the log. With it,
// the last bytes before that position, so that a log overwritten, shortened
// or replaced since is not mistaken for the one the position belongs to;
// and the log's generation, which changes whenever positions start again.
class CursorFile
{
public:
    explicit CursorFile(const QString &logPath);

    enum class Found { Missing, Matched, OtherLog };
    struct Stored
    {
        Found found = Found::Missing;
        qint64 position = 0;   // when Matched
        QByteArray generation; // when Matched; empty in a file from before generations
    };
    Stored load() const;
    // Atomically replaced; false when it could not be written. Reads the
    // log: may be called away from the event loop.
    bool save(qint64 position, const QByteArray &generation) const;
    // How much of the log as it is now lies past the stored position: what
    // has not been published (0 without a position that fits).
    qint64 bytesWaiting() const;

    static QString pathFor(const QString &logPath);
    // A generation of its own for positions that start again.
    static QByteArray newGeneration();

private:
    QByteArray tailBefore(qint64 position) const;

    QString m_logPath;
    QString m_path;
};
