// Windows: the user's regional settings, short date and long time format, in
// the ANSI code page, as everything else the log file holds.
#include "capture/timemark.h"

#include "settings/codepage.h"

#include <QString>

#include <windows.h>

namespace {

SYSTEMTIME localSystemTime(std::time_t when)
{
    // time_t counts seconds from 1970, FILETIME 100 ns steps from 1601.
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (ULONGLONG(when) + 11644473600ULL) * 10000000ULL;
    const FILETIME utc{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utcTime{};
    SYSTEMTIME localTime{};
    FileTimeToSystemTime(&utc, &utcTime);
    SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime);
    return localTime;
}

// The lengths the format functions return count the closing null.
std::optional<QByteArray> inCodePage(const wchar_t *text, int lengthWithNull)
{
    return CodePage::encode(QString::fromWCharArray(text, qMax(lengthWithNull - 1, 0)));
}

// The user's formats may hold characters the code page lacks: the Greek or
// Chinese AM and PM markers on a Western code page. Written as '?', a
// morning and an evening mark would read the same; such a date or time is
// written with digits instead, as yyyy-MM-dd and HH:mm:ss.
QByteArray dateText(const SYSTEMTIME &moment)
{
    wchar_t text[128];
    const int length = GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &moment, nullptr,
                                       text, int(std::size(text)), nullptr);
    if (const auto bytes = inCodePage(text, length))
        return *bytes;
    return QString::asprintf("%04u-%02u-%02u", moment.wYear, moment.wMonth, moment.wDay).toLatin1();
}

QByteArray timeText(const SYSTEMTIME &moment)
{
    wchar_t text[128];
    const int length =
        GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &moment, nullptr, text, int(std::size(text)));
    if (const auto bytes = inCodePage(text, length))
        return *bytes;
    return QString::asprintf("%02u:%02u:%02u", moment.wHour, moment.wMinute, moment.wSecond)
        .toLatin1();
}

} // namespace

TimeMark::Texts TimeMark::localTexts(std::time_t when)
{
    const SYSTEMTIME moment = localSystemTime(when);
    return {dateText(moment), timeText(moment)};
}
