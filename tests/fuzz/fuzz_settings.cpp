// The settings reader takes any file content without harm, and what it
// loaded survives a save and a load, but for the documented quirks.
#include "settings/settingsfile.h"
#include "settings/textnumbers.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString defaultLog = QStringLiteral("/prog/log.csv");
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    WindowFields loaded;
    SettingsFile::apply(content, defaultLog, loaded);

    WindowFields reloaded;
    SettingsFile::apply(SettingsFile::serialize(loaded), defaultLog, reloaded);

    // The quirks: an empty delimiter or path is written as an empty line,
    // which reads as "keep the initial value"; the greyed 2 is not accepted;
    // and a port just under 10 (9.99999999999999911) is shown as its number
    // text, "10", which the next start does not accept.
    const WindowFields initial;
    WindowFields expected = loaded;
    const double shownPort = TextNumbers::numericValue(loaded.port);
    if (!(shownPort > 0 && shownPort < 10))
        expected.port = initial.port;
    if (loaded.delimiter.isEmpty())
        expected.delimiter = initial.delimiter;
    if (loaded.logFile.isEmpty())
        expected.logFile = defaultLog;
    if (loaded.timeMark == 2)
        expected.timeMark = initial.timeMark;
    if (loaded.overwrite == 2)
        expected.overwrite = initial.overwrite;

    if (reloaded.port != expected.port || reloaded.delimiter != expected.delimiter ||
        reloaded.logFile != expected.logFile || reloaded.timeMark != expected.timeMark ||
        reloaded.overwrite != expected.overwrite)
        std::abort();
    return 0;
}
