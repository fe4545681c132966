#include "app/messagelog.h"

#include <QDateTime>

namespace {

// A file name as typed may hold line breaks; each message stays one line.
QString oneLine(QString text)
{
    for (QChar &ch : text) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            ch = u' ';
    }
    return text;
}

} // namespace

void MessageLog::write(const QString &text) const
{
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' +
        oneLine(text) + u'\n';
    std::fputs(line.toLocal8Bit().constData(), m_stream);
    std::fflush(m_stream);
}
