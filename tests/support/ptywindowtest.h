#pragma once

#include "app/frmtarnel.h"
#include "support/ptydevice.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// The real window in a temporary program directory, with a pseudo-terminal
// linked there as its COM port and the log file set.
class PtyWindowTest : public ::testing::Test
{
protected:
    explicit PtyWindowTest(int portNumber = 5) : m_portNumber(portNumber) {}

    void SetUp() override;

    // Presses Start and expects logging to begin.
    void start();
    QByteArray log() const;
    // Waits until the log file holds exactly these bytes.
    bool logEquals(const QByteArray &expected, int timeoutMs = 5000) const;

    int m_portNumber;
    QTemporaryDir dir;
    PtyDevice device;
    FrmTarnel window{dir.path()};
    QString logPath = dir.filePath(QStringLiteral("log.csv"));
};
