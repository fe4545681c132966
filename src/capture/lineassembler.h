#pragma once

#include "capture/timemark.h"

#include <QByteArray>
#include <QByteArrayView>

// Cuts received bytes into CR LF lines and renders each as it goes to the
// log file: commas replaced by the delimiter, an optional time mark first,
// CR LF last. Bytes after the last line end wait for the next call; they
// are kept across Stop and Start.
//
// A partial line that grows past the stream limit (a device that never
// sends CR LF) is not held any longer: its bytes are rendered as they
// arrive, the time mark with its first bytes, and the line ends when its
// CR LF comes. The output is the same; only the mark's time is earlier.
class LineAssembler
{
public:
    static constexpr qsizetype defaultStreamLimit = 1 << 20;
    // How much of a streamed line is kept to be shown when it ends.
    static constexpr qsizetype keptHead = 4096;

    struct Result
    {
        bool hasLines = false;
        // The last line as edited, without the time mark; only its first
        // keptHead bytes when it was streamed.
        QByteArray lastLine;
    };

    explicit LineAssembler(TimeMark::Clock clock = &TimeMark::systemClock,
                           qsizetype streamLimit = defaultStreamLimit)
        : m_timeMark(clock), m_streamLimit(streamLimit)
    {
    }

    // The delimiter's bytes; empty leaves commas in place.
    void setDelimiter(const QByteArray &delimiter) { m_delimiter = delimiter; }
    const QByteArray &delimiter() const { return m_delimiter; }

    // Appends bytes and renders every complete line onto out.
    Result append(QByteArrayView bytes, bool timeMarks, QByteArray &out);

    // The part of the partial line not rendered yet.
    QByteArrayView pending() const { return m_buffer; }
    // Whether the partial line has begun in the output already.
    bool isStreaming() const { return m_streaming; }

private:
    qsizetype continueStreamedLine(QByteArrayView bytes, QByteArray &out);
    void beginStreamedLine(bool timeMarks, QByteArray &out);
    void streamBytes(QByteArrayView bytes, QByteArray &out);
    void renderStreamed(QByteArrayView bytes, QByteArray &out);
    void renderLines(QByteArrayView lines, QByteArray &out) const;
    void renderMarkedLines(QByteArrayView lines, QByteArray &out);
    void replaceCommas(QByteArray &line) const;
    static void replaceCommas(char *p, char *end, char delimiter);

    QByteArray m_buffer;
    qsizetype m_scanned = 0; // bytes of m_buffer already searched for a line end
    QByteArray m_delimiter;
    TimeMark m_timeMark;
    qsizetype m_streamLimit;
    bool m_streaming = false;
    QByteArray m_streamedHead; // the streamed line's beginning, as edited
};
