#include "publish/logtail.h"

namespace {

constexpr qint64 readBytes = 64 * 1024;

} // namespace

bool LogTail::open(const QString &logPath, qint64 position)
{
    auto file = openFile(logPath);
    if (!file)
        return false;
    open(std::move(file), position);
    return true;
}

void LogTail::open(std::unique_ptr<QFile> file, qint64 position)
{
    m_file = std::move(file);
    seek(position);
}

std::unique_ptr<QFile> LogTail::openFile(const QString &logPath)
{
    auto file = std::make_unique<QFile>(logPath);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    return file;
}

void LogTail::close()
{
    m_file->close();
    m_buffer = QByteArray();
    m_taken = 0;
}

void LogTail::seek(qint64 position)
{
    m_position = position;
    m_buffer.clear();
    m_taken = 0;
}

void LogTail::setPieceBytes(qsizetype bytes)
{
    m_pieceBytes = std::clamp<qsizetype>(bytes, 2, maxPieceBytes);
}

bool LogTail::wasShortened() const
{
    return m_file->isOpen() && m_file->size() < m_position + unread();
}

std::optional<LogTail::Line> LogTail::next()
{
    qsizetype end = m_buffer.indexOf("\r\n", m_taken);
    while (end < 0 && unread() <= m_pieceBytes) {
        // fill() moves the unread bytes to the front: no CR LF in them but
        // perhaps a CR at their end.
        const qsizetype searched = std::max<qsizetype>(0, unread() - 1);
        if (!fill())
            break;
        end = m_buffer.indexOf("\r\n", searched);
    }
    const qsizetype length = end - m_taken;
    if (end >= 0 && length <= m_pieceBytes)
        return take(length, 2);
    if (unread() <= m_pieceBytes)
        return std::nullopt; // the rest of the line is still to come
    // A CR at the piece's end goes with the next piece, which may begin
    // with its LF: a line end is never split.
    const bool endsInCr = m_buffer.at(m_taken + m_pieceBytes - 1) == '\r';
    return take(m_pieceBytes - (endsInCr ? 1 : 0), 0);
}

std::optional<LogTail::Line> LogTail::rest()
{
    while (unread() < m_pieceBytes && fill()) {
    }
    if (unread() == 0)
        return std::nullopt;
    return take(std::min(unread(), m_pieceBytes), 0);
}

LogTail::Line LogTail::take(qsizetype length, qsizetype lineEnd)
{
    Line line{m_position, m_buffer.mid(m_taken, length), m_position + length + lineEnd};
    m_taken += length + lineEnd;
    m_position = line.end;
    return line;
}

// Reads on from where the buffer ends, first dropping what has been taken.
bool LogTail::fill()
{
    m_buffer.remove(0, m_taken);
    m_taken = 0;
    if (!m_file->isOpen() || !m_file->seek(m_position + m_buffer.size()))
        return false;
    const QByteArray more = m_file->read(readBytes);
    m_buffer.append(more);
    return !more.isEmpty();
}
