#pragma once

#include <QByteArray>
#include <QString>

// Where publishing stands in a log: the position of the first line the
// broker has not acknowledged, kept in <log>.cursor beside the log. With it,
// the last bytes before that position, so that a log overwritten, shortened
// or replaced since is not mistaken for the one the position belongs to.
class CursorFile
{
public:
    explicit CursorFile(const QString &logPath);

    enum class Found { Missing, Matched, OtherLog };
    struct Stored
    {
        Found found = Found::Missing;
        qint64 position = 0; // when Matched
    };
    Stored load() const;
    // Atomically replaced; false when it could not be written.
    bool save(qint64 position);
    qint64 saved() const { return m_saved; }
    // How many lines of the log as it is now lie past the stored position:
    // what has not been published (0 without a position that fits).
    qint64 linesWaiting() const;

    static QString pathFor(const QString &logPath);
    static qint64 countLines(const QString &logPath, qint64 from);

private:
    QByteArray tailBefore(qint64 position) const;

    QString m_logPath;
    QString m_path;
    qint64 m_saved = -1;
};
