#pragma once

#include <QByteArray>
#include <QString>

// Whole-file helpers for tests; a missing file reads as empty.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);
// The size, or -1 for a missing file; a plain stat(), cheap enough to poll.
qint64 fileSize(const QString &path);
// Where two files first differ, or -1 when they are the same byte for byte.
qint64 firstDifference(const QString &a, const QString &b);
// This process's resident memory in kB (VmRSS in /proc/self/status), or -1.
long residentKb();
