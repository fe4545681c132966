#include "capture/timemark.h"

namespace {

QByteArray formatTrimmed(const char *pattern, const std::tm &local)
{
    char buf[128];
    const size_t n = std::strftime(buf, sizeof buf, pattern, &local);
    QByteArray text(buf, qsizetype(n));
    while (text.startsWith(' '))
        text.remove(0, 1);
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

} // namespace

QByteArray TimeMark::format(std::time_t when, const QByteArray &delimiter)
{
    std::tm local{};
    localtime_r(&when, &local);
    return formatTrimmed("%x", local) + delimiter + formatTrimmed("%X", local) + delimiter;
}

const QByteArray &TimeMark::current(const QByteArray &delimiter)
{
    const std::time_t now = m_clock();
    if (now != m_second || delimiter != m_delimiter) {
        m_text = format(now, delimiter);
        m_second = now;
        m_delimiter = delimiter;
    }
    return m_text;
}
