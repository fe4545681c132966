#include "publish/cursorfile.h"

#include <QFile>
#include <QSaveFile>

namespace {

// Enough of a time-marked line to tell two logs apart.
constexpr qint64 tailBytes = 32;

} // namespace

CursorFile::CursorFile(const QString &logPath) : m_logPath(logPath), m_path(pathFor(logPath)) {}

QString CursorFile::pathFor(const QString &logPath)
{
    return logPath + QStringLiteral(".cursor");
}

CursorFile::Stored CursorFile::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {}; // never published from this log
    const QList<QByteArray> fields = file.readAll().trimmed().split('\n');
    bool ok = false;
    const qint64 position = fields.value(0).trimmed().toLongLong(&ok);
    const QByteArray tail = QByteArray::fromHex(fields.value(1).trimmed());
    if (ok && position >= 0 && position <= QFile(m_logPath).size() && tailBefore(position) == tail)
        return {Found::Matched, position};
    return {Found::OtherLog, 0};
}

bool CursorFile::save(qint64 position)
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QByteArray::number(position) + '\n' + tailBefore(position).toHex() + '\n');
    if (!file.commit())
        return false;
    m_saved = position;
    return true;
}

QByteArray CursorFile::tailBefore(qint64 position) const
{
    QFile log(m_logPath);
    const qint64 from = std::max<qint64>(0, position - tailBytes);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(from))
        return {};
    return log.read(position - from);
}

qint64 CursorFile::linesWaiting() const
{
    const Stored stored = load();
    return stored.found == Found::Matched ? countLines(m_logPath, stored.position) : 0;
}

qint64 CursorFile::countLines(const QString &logPath, qint64 from)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(from))
        return 0;
    qint64 lines = 0;
    bool endsInCr = false; // a line end may span two reads
    QByteArray chunk;
    while (!(chunk = log.read(1 << 20)).isEmpty()) {
        lines += chunk.count("\r\n") + (endsInCr && chunk.startsWith('\n') ? 1 : 0);
        endsInCr = chunk.endsWith('\r');
    }
    return lines;
}
