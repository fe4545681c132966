// The C library's formats of the locale (LC_TIME): %x and %X.
#include "capture/timemark.h"

namespace {

QByteArray formatted(const char *pattern, const std::tm &local)
{
    char buf[128];
    const size_t n = std::strftime(buf, sizeof buf, pattern, &local);
    return QByteArray(buf, qsizetype(n));
}

} // namespace

TimeMark::Texts TimeMark::localTexts(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    return {formatted("%x", local), formatted("%X", local)};
}
