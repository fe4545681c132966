#pragma once

#include <QString>

// The five window fields as the settings file stores them. The defaults are
// the window's initial values.
struct WindowFields
{
    QString port = QStringLiteral("1");
    QString delimiter = QStringLiteral(";");
    QString logFile;
    int timeMark = 0; // check box value: 0, 1 or 2 (greyed)
    int overwrite = 0;
};

// tarnel.ini: five lines, CR LF, in the system's code page; in UTF-8, marked
// as such, when the code page cannot hold one of them.
namespace SettingsFile {

// The settings file in the folder that keeps it.
QString path(const QString &configDir);

// Applies the file's lines to fields by the acceptance rules. A missing or
// unreadable file, or missing lines, leave fields as they are, except that
// the log path falls back to the default.
void load(const QString &filePath, const QString &defaultLog, WindowFields &fields);

// Parses file content; load() reads the file and calls this.
void apply(const QByteArray &content, const QString &defaultLog, WindowFields &fields);

QByteArray serialize(const WindowFields &fields);

// Replaces the file atomically; on failure the old file stays as it was.
bool save(const QString &filePath, const WindowFields &fields);

} // namespace SettingsFile
