#include "capture/lineassembler.h"

#include <cstring>

LineAssembler::Result LineAssembler::append(QByteArrayView bytes, bool timeMarks, QByteArray &out)
{
    Result result;
    m_buffer.append(bytes);
    const char *data = m_buffer.constData();
    const qsizetype size = m_buffer.size();
    qsizetype lineStart = 0;
    // Search for LF and look back for its CR, so a CR LF split across two
    // calls is found and no byte is searched twice.
    qsizetype pos = m_scanned;
    qsizetype lastLineBegin = -1;
    while (pos < size) {
        const void *lf = std::memchr(data + pos, '\n', size_t(size - pos));
        if (!lf)
            break;
        const qsizetype lfPos = static_cast<const char *>(lf) - data;
        pos = lfPos + 1;
        if (lfPos == lineStart || data[lfPos - 1] != '\r')
            continue;
        lastLineBegin = renderLine({data + lineStart, lfPos - 1 - lineStart}, timeMarks, out);
        ++result.lineCount;
        lineStart = pos;
    }
    if (result.lineCount > 0)
        result.lastLine = out.sliced(lastLineBegin, out.size() - 2 - lastLineBegin);
    m_buffer.remove(0, lineStart);
    m_scanned = m_buffer.size();
    return result;
}

qsizetype LineAssembler::renderLine(QByteArrayView line, bool timeMarks, QByteArray &out)
{
    if (timeMarks)
        out.append(m_timeMark.current(m_delimiter));
    const qsizetype lineBegin = out.size();
    if (m_delimiter.size() == 1) {
        out.append(line);
        char *p = out.data() + lineBegin;
        char *const end = out.data() + out.size();
        const char delimiter = m_delimiter[0];
        while ((p = static_cast<char *>(std::memchr(p, ',', size_t(end - p))))) {
            *p++ = delimiter;
        }
    } else if (m_delimiter.isEmpty()) {
        out.append(line);
    } else {
        const char *p = line.data();
        const char *const end = p + line.size();
        while (const void *comma = std::memchr(p, ',', size_t(end - p))) {
            out.append(p, static_cast<const char *>(comma) - p);
            out.append(m_delimiter);
            p = static_cast<const char *>(comma) + 1;
        }
        out.append(p, end - p);
    }
    out.append("\r\n", 2);
    return lineBegin;
}
