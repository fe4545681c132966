#pragma once

#include <QByteArrayView>
#include <QString>

// How a received line looks in the one-line status label: decoded in the
// system's encoding (UTF-8; on Windows the ANSI code page), control
// characters as their visible symbols, and only its beginning, since the
// label shows some forty characters and a line may be megabytes long.
QString statusText(QByteArrayView line);
