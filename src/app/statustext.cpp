#include "app/statustext.h"

namespace {
constexpr qsizetype maxShownBytes = 256;
constexpr char16_t controlPictures = 0x2400; // U+2400 SYMBOL FOR NULL and its row
} // namespace

QString statusText(QByteArrayView line)
{
    QString text = QString::fromLocal8Bit(line.first(qMin(line.size(), maxShownBytes)));
    for (QChar &ch : text) {
        if (ch.unicode() < 0x20)
            ch = QChar(char16_t(controlPictures + ch.unicode()));
        else if (ch.unicode() == 0x7f)
            ch = QChar(char16_t(0x2421));
    }
    return text;
}
