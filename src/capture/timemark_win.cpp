// Windows: the user's regional settings, short date and long time format, in
// the ANSI code page, as everything else the log file holds.
#include "capture/timemark.h"

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
QByteArray ansi(const wchar_t *text, int lengthWithNull)
{
    return QString::fromWCharArray(text, qMax(lengthWithNull - 1, 0)).toLocal8Bit();
}

} // namespace

TimeMark::Texts TimeMark::localTexts(std::time_t when)
{
    const SYSTEMTIME moment = localSystemTime(when);
    wchar_t date[128];
    wchar_t time[128];
    const int dateLength = GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &moment,
                                           nullptr, date, int(std::size(date)), nullptr);
    const int timeLength =
        GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &moment, nullptr, time, int(std::size(time)));
    return {ansi(date, dateLength), ansi(time, timeLength)};
}
