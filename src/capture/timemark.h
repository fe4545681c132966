#pragma once

#include <QByteArray>
#include <ctime>

// The date and time mark written before a line: date, delimiter, time,
// delimiter, in the locale's short date (%x) and long time (%X) formats.
// The text changes once a second, so it is formatted once per second.
class TimeMark
{
public:
    using Clock = std::time_t (*)();

    explicit TimeMark(Clock clock = &TimeMark::systemClock) : m_clock(clock) {}

    // Reads the clock once and returns the mark for that moment.
    const QByteArray &current(const QByteArray &delimiter);

    static QByteArray format(std::time_t when, const QByteArray &delimiter);
    static std::time_t systemClock() { return std::time(nullptr); }

private:
    Clock m_clock;
    std::time_t m_second = -1;
    QByteArray m_delimiter;
    QByteArray m_text;
};
