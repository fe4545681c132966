#include "publish/logtail.h"

namespace {

constexpr qint64 readBytes = 64 * 1024;

} // namespace

bool LogTail::open(const QString &logPath, qint64 position)
{
    m_file.close();
    m_file.setFileName(logPath);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    seek(position);
    return true;
}

void LogTail::close()
{
    m_file.close();
    m_buffer = QByteArray();
    m_taken = 0;
}

void LogTail::seek(qint64 position)
{
    m_position = position;
    m_buffer.clear();
    m_taken = 0;
}

bool LogTail::wasShortened() const
{
    return m_file.isOpen() && m_file.size() < m_position + unread();
}

std::optional<LogTail::Line> LogTail::next()
{
    qsizetype end = m_buffer.indexOf("\r\n", m_taken);
    while (end < 0 && unread() <= maxLineBytes) {
        // fill() moves the unread bytes to the front: no CR LF in them but
        // perhaps a CR at their end.
        const qsizetype searched = std::max<qsizetype>(0, unread() - 1);
        if (!fill())
            break;
        end = m_buffer.indexOf("\r\n", searched);
    }
    qsizetype length = end - m_taken;
    qsizetype skipped = 2;
    if (end < 0 || length > maxLineBytes) {
        if (unread() <= maxLineBytes)
            return std::nullopt; // the rest of the line is still to come
        length = maxLineBytes;
        skipped = 0;
        if (m_buffer.at(m_taken + length - 1) == '\r')
            --length; // keeps CR LF together in the next piece
    }
    Line line{m_position, m_buffer.mid(m_taken, length), m_position + length + skipped};
    m_taken += length + skipped;
    m_position = line.end;
    return line;
}

// Reads on from where the buffer ends, first dropping what has been taken.
bool LogTail::fill()
{
    m_buffer.remove(0, m_taken);
    m_taken = 0;
    if (!m_file.isOpen() || !m_file.seek(m_position + m_buffer.size()))
        return false;
    const QByteArray more = m_file.read(readBytes);
    m_buffer.append(more);
    return !more.isEmpty();
}
