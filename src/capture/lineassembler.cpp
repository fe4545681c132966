#include "capture/lineassembler.h"

#include <cstring>
#include <utility>

namespace {

// The position of the LF of the last CR LF whose LF lies in [from, size), or -1.
qsizetype lastLineEnd(const char *data, qsizetype from, qsizetype size)
{
    qsizetype end = size;
    while (end > from) {
        const qsizetype lf = QByteArrayView(data + from, end - from).lastIndexOf('\n');
        if (lf < 0)
            return -1;
        const qsizetype pos = from + lf;
        if (pos > 0 && data[pos - 1] == '\r')
            return pos;
        end = pos;
    }
    return -1;
}

// The position of the LF of the first CR LF whose LF lies in [from, size), or -1.
qsizetype firstLineEnd(const char *data, qsizetype from, qsizetype size)
{
    while (from < size) {
        const void *lf = std::memchr(data + from, '\n', size_t(size - from));
        if (!lf)
            return -1;
        const qsizetype pos = static_cast<const char *>(lf) - data;
        if (pos > 0 && data[pos - 1] == '\r')
            return pos;
        from = pos + 1;
    }
    return -1;
}

} // namespace

LineAssembler::Result LineAssembler::append(QByteArrayView bytes, bool timeMarks, QByteArray &out)
{
    Result result;
    if (m_streaming) {
        bytes = bytes.sliced(continueStreamedLine(bytes, out));
        if (m_streaming)
            return result;
        result.hasLines = true;
        result.lastLine = std::exchange(m_streamedHead, QByteArray());
    }

    // Most reads end with a complete line: work on them in place and keep
    // only the rest, rather than copying everything into the buffer first.
    const bool inPlace = m_buffer.isEmpty();
    if (!inPlace)
        m_buffer.append(bytes);
    const QByteArrayView data = inPlace ? bytes : QByteArrayView(m_buffer);

    // A line end split across two reads has its CR before m_scanned and its
    // LF at it; nothing else before m_scanned needs searching again.
    const qsizetype lastEnd = lastLineEnd(data.data(), m_scanned, data.size());
    if (lastEnd >= 0) {
        const QByteArrayView lines = data.first(lastEnd + 1);
        if (timeMarks)
            renderMarkedLines(lines, out);
        else
            renderLines(lines, out);
        const qsizetype lastStart = lastLineEnd(lines.data(), 0, lastEnd - 1) + 1;
        result.hasLines = true;
        result.lastLine = QByteArray(lines.data() + lastStart, lastEnd - 1 - lastStart);
        replaceCommas(result.lastLine);
    }
    const qsizetype consumed = lastEnd + 1;
    if (inPlace)
        m_buffer = bytes.sliced(consumed).toByteArray();
    else
        m_buffer.remove(0, consumed);
    m_scanned = m_buffer.size();
    if (m_buffer.size() > m_streamLimit)
        beginStreamedLine(timeMarks, out);
    return result;
}

void LineAssembler::beginStreamedLine(bool timeMarks, QByteArray &out)
{
    if (timeMarks)
        out.append(m_timeMark.current(m_delimiter));
    m_streaming = true;
    m_streamedHead.clear();
    const QByteArray buffer = std::exchange(m_buffer, QByteArray());
    m_scanned = 0;
    streamBytes(buffer, out);
}

// Renders bytes of the streamed line, except a CR at the end: it may be the
// first half of the line end.
void LineAssembler::streamBytes(QByteArrayView bytes, QByteArray &out)
{
    if (bytes.endsWith('\r')) {
        m_buffer = "\r";
        bytes.chop(1);
    }
    renderStreamed(bytes, out);
}

void LineAssembler::renderStreamed(QByteArrayView bytes, QByteArray &out)
{
    const qsizetype begin = out.size();
    renderLines(bytes, out);
    const qsizetype room = keptHead - m_streamedHead.size();
    if (room > 0)
        m_streamedHead.append(
            QByteArrayView(out).sliced(begin).first(qMin(out.size() - begin, room)));
}

// Returns how many bytes the streamed line took, its line end included.
qsizetype LineAssembler::continueStreamedLine(QByteArrayView bytes, QByteArray &out)
{
    if (bytes.isEmpty())
        return 0;
    if (!m_buffer.isEmpty()) { // the held CR
        m_buffer.clear();
        if (bytes.front() == '\n') {
            out.append("\r\n");
            m_streaming = false;
            return 1;
        }
        renderStreamed("\r", out);
    }
    const qsizetype lf = firstLineEnd(bytes.data(), 0, bytes.size());
    if (lf < 0) {
        streamBytes(bytes, out);
        return bytes.size();
    }
    renderStreamed(bytes.first(lf - 1), out);
    out.append("\r\n");
    m_streaming = false;
    return lf + 1;
}

void LineAssembler::renderLines(QByteArrayView lines, QByteArray &out) const
{
    // Line ends pass through unchanged, so complete lines are one block.
    const qsizetype begin = out.size();
    if (m_delimiter.size() <= 1) {
        out.append(lines);
        if (m_delimiter.size() == 1)
            replaceCommas(out.data() + begin, out.data() + out.size(), m_delimiter[0]);
        return;
    }
    const char *p = lines.data();
    const char *const end = p + lines.size();
    while (const void *comma = std::memchr(p, ',', size_t(end - p))) {
        out.append(p, static_cast<const char *>(comma) - p);
        out.append(m_delimiter);
        p = static_cast<const char *>(comma) + 1;
    }
    out.append(p, end - p);
}

void LineAssembler::renderMarkedLines(QByteArrayView lines, QByteArray &out)
{
    qsizetype start = 0;
    for (qsizetype lf; (lf = firstLineEnd(lines.data(), start, lines.size())) >= 0;
         start = lf + 1) {
        out.append(m_timeMark.current(m_delimiter)); // one clock reading per line
        renderLines(lines.sliced(start, lf + 1 - start), out);
    }
}

void LineAssembler::replaceCommas(char *p, char *end, char delimiter)
{
    while ((p = static_cast<char *>(std::memchr(p, ',', size_t(end - p)))))
        *p++ = delimiter;
}

void LineAssembler::replaceCommas(QByteArray &line) const
{
    if (m_delimiter.size() == 1)
        replaceCommas(line.data(), line.data() + line.size(), m_delimiter[0]);
    else if (m_delimiter.size() > 1)
        line.replace(',', m_delimiter);
}
