#include "app/messagelog.h"

#include <QDateTime>

namespace {

// A file name as typed may hold line breaks; each message stays one line of
// plain text. The C1 controls (U+0080 to U+009F) are controls to terminals
// too, and in an 8-bit code page become its control bytes; U+2028 and U+2029
// start a new line in viewers that read Unicode.
QString oneLine(QString text)
{
    for (QChar &ch : text) {
        const auto category = ch.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
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
