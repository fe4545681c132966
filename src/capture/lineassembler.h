#pragma once

#include "capture/timemark.h"

#include <QByteArray>
#include <QByteArrayView>

// Cuts received bytes into CR LF lines and renders each as it goes to the
// log file: commas replaced by the delimiter, an optional time mark first,
// CR LF last. Bytes after the last line end wait for the next call; they
// are kept across Stop and Start.
class LineAssembler
{
public:
    struct Result
    {
        bool hasLines = false;
        QByteArray lastLine; // as edited, without the time mark
    };

    explicit LineAssembler(TimeMark::Clock clock = &TimeMark::systemClock) : m_timeMark(clock) {}

    // The delimiter's bytes; empty leaves commas in place.
    void setDelimiter(const QByteArray &delimiter) { m_delimiter = delimiter; }
    const QByteArray &delimiter() const { return m_delimiter; }

    // Appends bytes and renders every complete line onto out.
    Result append(QByteArrayView bytes, bool timeMarks, QByteArray &out);

    // The partial line waiting for its line end.
    QByteArrayView pending() const { return m_buffer; }

private:
    void renderLines(QByteArrayView lines, QByteArray &out) const;
    void renderMarkedLines(QByteArrayView lines, QByteArray &out);
    void replaceCommas(QByteArray &line) const;
    static void replaceCommas(char *p, char *end, char delimiter);

    QByteArray m_buffer;
    qsizetype m_scanned = 0; // bytes of m_buffer already searched for a line end
    QByteArray m_delimiter;
    TimeMark m_timeMark;
};
