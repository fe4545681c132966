#pragma once

#include <QByteArray>
#include <ctime>

// The date and time mark written before a line: date, delimiter, time,
// delimiter, in the system's short date and long time formats (the locale's
// %x and %X; Windows' regional settings), blanks trimmed, in the system's
// encoding. The text changes once a second, so it is formatted once per second.
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
    struct Texts
    {
        QByteArray date;
        QByteArray time;
    };
    // The moment in the system's own formats: one source file per platform.
    static Texts localTexts(std::time_t when);

    Clock m_clock;
    std::time_t m_second = -1;
    QByteArray m_delimiter;
    QByteArray m_text;
};
