#include "capture/timemark.h"

namespace {

QByteArray trimBlanks(QByteArray text)
{
    while (text.startsWith(' '))
        text.remove(0, 1);
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

} // namespace

QByteArray TimeMark::format(std::time_t when, const QByteArray &delimiter)
{
    const Texts texts = localTexts(when);
    return trimBlanks(texts.date) + delimiter + trimBlanks(texts.time) + delimiter;
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
