#include "settings/settingsfile.h"

#include "settings/codepage.h"
#include "settings/textnumbers.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>

namespace SettingsFile {
namespace {

constexpr int lineCount = 5;

// Marks a file written in UTF-8 because the code page could not hold one of
// its lines (a log path under a user name in another script). Files the
// code page holds are written as always, without it.
constexpr QByteArrayView utf8Mark = "\xEF\xBB\xBF";

// Lines end at CR LF, CR or LF, so files edited on any system are read line by line.
QList<QByteArrayView> splitLines(QByteArrayView content)
{
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    while (start < content.size() && lines.size() < lineCount) {
        qsizetype end = start;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n')
            ++end;
        lines.append(content.sliced(start, end - start));
        if (end + 1 < content.size() && content[end] == '\r' && content[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

// A check box value from lines 4 and 5: only 0 < v < 2 is taken.
void applyCheckState(const QString &line, int &state)
{
    if (line.isEmpty())
        return;
    const double v = TextNumbers::numericValue(line);
    if (v > 0 && v < 2)
        state = int(TextNumbers::roundHalfEven(v));
}

} // namespace

QString path(const QString &configDir)
{
    return configDir + QStringLiteral("/tarnel.ini");
}

void load(const QString &filePath, const QString &defaultLog, WindowFields &fields)
{
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly)) {
        fields.logFile = defaultLog;
        return;
    }
    apply(file.readAll(), defaultLog, fields);
}

void apply(const QByteArray &content, const QString &defaultLog, WindowFields &fields)
{
    const bool utf8 = content.startsWith(utf8Mark);
    // Line by line, each a text of its own; a U+FEFF that begins a line is
    // part of it, not a mark to drop.
    QStringDecoder decode(utf8 ? QStringConverter::Utf8 : QStringConverter::System,
                          QStringConverter::Flag::Stateless |
                              QStringConverter::Flag::ConvertInitialBom);
    QList<QString> lines;
    for (QByteArrayView raw :
         splitLines(QByteArrayView(content).sliced(utf8 ? utf8Mark.size() : 0)))
        lines.append(decode(raw));
    lines.resize(lineCount); // missing lines read as empty

    if (!lines[0].isEmpty()) {
        const double v = TextNumbers::numericValue(lines[0]);
        if (v > 0 && v < 10)
            fields.port = TextNumbers::numberText(v);
    }
    if (!lines[1].isEmpty())
        fields.delimiter = TextNumbers::firstCharacter(TextNumbers::trimBlanks(lines[1]));
    fields.logFile = lines[2].isEmpty() ? defaultLog : TextNumbers::trimBlanks(lines[2]);
    applyCheckState(lines[3], fields.timeMark);
    applyCheckState(lines[4], fields.overwrite);
}

QByteArray serialize(const WindowFields &fields)
{
    const QString text =
        TextNumbers::trimBlanks(fields.port) + QStringLiteral("\r\n") +
        TextNumbers::trimBlanks(fields.delimiter) + QStringLiteral("\r\n") +
        TextNumbers::trimBlanks(fields.logFile) + QStringLiteral("\r\n") +
        QStringLiteral(" %1\r\n %2\r\n").arg(fields.timeMark).arg(fields.overwrite);
    // Text that would begin with the mark's own bytes is marked too, so
    // that the reader keeps them.
    if (const auto inCodePage = CodePage::encode(text);
        inCodePage && !inCodePage->startsWith(utf8Mark))
        return *inCodePage;
    return utf8Mark.toByteArray() + text.toUtf8();
}

bool save(const QString &filePath, const WindowFields &fields)
{
    QSaveFile file(filePath);
    // Unbuffered, so a short write (a full disk) shows in write()'s result;
    // a buffered one would be committed cut short.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray content = serialize(fields);
    if (file.write(content) != content.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace SettingsFile
