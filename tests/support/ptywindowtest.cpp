#include "support/ptywindowtest.h"

#include "support/eventloop.h"
#include "support/files.h"
#include "support/messageboxwatcher.h"

#include <QLineEdit>
#include <QPushButton>

void PtyWindowTest::SetUp()
{
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(device.open(dir.path(), m_portNumber));
    window.txtPort->setText(QString::number(m_portNumber));
    window.txtFile->setText(logPath);
}

void PtyWindowTest::start()
{
    MessageBoxWatcher boxes; // a failed Start fails the test instead of waiting on its box
    window.cmdStart->click();
    ASSERT_EQ(boxes.texts(), QStringList());
    ASSERT_EQ(window.cmdStart->text(), QStringLiteral("Stop"));
}

QByteArray PtyWindowTest::log() const
{
    return readFile(logPath);
}

bool PtyWindowTest::logEquals(const QByteArray &expected, int timeoutMs) const
{
    return waitUntil([&] { return log() == expected; }, timeoutMs);
}
