#pragma once

#include <QByteArray>
#include <QStringView>
#include <optional>

// The system's code page, in which the settings file and the log file hold
// their text: the ANSI code page on Windows, UTF-8 elsewhere. One source
// file per platform.
namespace CodePage {

// The text in the code page, or nothing when the code page cannot hold all
// of it exactly (never a '?' or a look-alike in place of a character).
std::optional<QByteArray> encode(QStringView text);

// The bytes the character is written as in place of each comma in the log,
// or nothing when the code page cannot write it there. Each received byte
// is one character of an ANSI code page, so there it must be one byte; in
// UTF-8 a character is as many bytes as it takes.
std::optional<QByteArray> delimiterBytes(QStringView character);

} // namespace CodePage
