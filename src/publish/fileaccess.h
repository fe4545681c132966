#pragma once

#include <QString>

class QFile;

// What publishing asks of the file system beyond Qt; one file per platform.
namespace FileAccess {

// Whether users other than the owner (and the administrators) may read the
// file.
bool othersMayRead(const QString &path);
// Whether what has been written to the file has reached the disk; a cursor
// saved after it never points past what survives a power cut.
bool syncToDisk(const QString &path);
// Whether the path names the file that is open (not one made anew in its
// place, as a log rotation does).
bool isSameFile(const QFile &open, const QString &path);

} // namespace FileAccess
