// Elsewhere than Windows the system's text is UTF-8, which holds every
// character.
#include "settings/codepage.h"

#include <QStringEncoder>

namespace CodePage {

std::optional<QByteArray> encode(QStringView text)
{
    QStringEncoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QByteArray bytes = utf8(text);
    if (utf8.hasError()) // a lone surrogate
        return std::nullopt;
    return bytes;
}

std::optional<QByteArray> delimiterBytes(QStringView character)
{
    return encode(character);
}

} // namespace CodePage
