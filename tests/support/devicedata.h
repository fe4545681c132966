#pragma once

#include <QByteArray>

// Bytes the tests send as a device would: every byte value once, in order,
// and a long line with a comma every thousand bytes.
QByteArray everyByteValue();
QByteArray longLineWithCommas(qsizetype size);
