#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

// What the messages carry: a log line as written, or as JSON for consumers
// that do not read MQTT 5 properties; an event message with its time.
namespace PayloadFormat {

// The most a line's JSON may take per byte of the line (a control byte
// written \u00XX, and the exact bytes again in base64), and besides them.
constexpr qint64 jsonBytesPerLineByte = 8;
constexpr qint64 jsonFixedBytes = 128;

// {"line":...,"position":...,"generation":...}, valid UTF-8 whatever the
// line holds: a line that is not UTF-8 text has each byte that cannot be
// read as U+FFFD in "line", and its exact bytes in "bytes" (base64).
QByteArray lineJson(QByteArrayView line, qint64 position, const QByteArray &generation);

// "<ISO 8601 time with its offset> <text>", or {"time":...,"message":...}.
QByteArray event(const QDateTime &time, const QString &text, bool json);

} // namespace PayloadFormat
