// Windows: the ANSI code page (CP_ACP). A plain conversion would write a
// character it has no byte for as '?', or as a look-alike ("best fit").
#include "settings/codepage.h"

#include <windows.h>

namespace CodePage {
namespace {

// The "UTF-8 for worldwide language support" setting makes the ANSI code
// page UTF-8, which holds every character and takes other flags.
bool isUtf8()
{
    return GetACP() == CP_UTF8;
}

} // namespace

std::optional<QByteArray> encode(QStringView text)
{
    if (text.isEmpty())
        return QByteArray();
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int length = int(text.size());
    const DWORD flags = isUtf8() ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL *lossyOrNull = isUtf8() ? nullptr : &lossy;
    const int size =
        WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, lossyOrNull);
    if (size <= 0 || lossy)
        return std::nullopt;
    QByteArray bytes(size, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, flags, wide, length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::optional<QByteArray> delimiterBytes(QStringView character)
{
    // One received byte is one character of an ANSI code page: a double-byte
    // character in place of a comma would be read as two.
    const auto bytes = encode(character);
    if (!bytes || (bytes->size() != 1 && !isUtf8()))
        return std::nullopt;
    return bytes;
}

} // namespace CodePage
