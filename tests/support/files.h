#pragma once

#include <QByteArray>
#include <QString>

// Whole-file helpers for tests; a missing file reads as empty.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);
qint64 fileSize(const QString &path);
