#include "publish/cursorfile.h"

#include <QFile>
#include <QRandomGenerator>
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

QByteArray CursorFile::newGeneration()
{
    return QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
}

CursorFile::Stored CursorFile::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {}; // never published from this log
    const QList<QByteArray> fields = file.read(4096).split('\n');
    bool ok = false;
    const qint64 position = fields.value(0).trimmed().toLongLong(&ok);
    const QByteArray tail = QByteArray::fromHex(fields.value(1).trimmed());
    if (ok && position >= 0 && position <= QFile(m_logPath).size() && tailBefore(position) == tail)
        return {Found::Matched, position, fields.value(2).trimmed()};
    return {Found::OtherLog, 0, {}};
}

bool CursorFile::save(qint64 position, const QByteArray &generation) const
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QByteArray::number(position) + '\n' + tailBefore(position).toHex() + '\n' +
               generation + '\n');
    return file.commit();
}

QByteArray CursorFile::tailBefore(qint64 position) const
{
    QFile log(m_logPath);
    const qint64 from = std::max<qint64>(0, position - tailBytes);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(from))
        return {};
    return log.read(position - from);
}

qint64 CursorFile::bytesWaiting() const
{
    const Stored stored = load();
    return stored.found == Found::Matched ? QFile(m_logPath).size() - stored.position : 0;
}
