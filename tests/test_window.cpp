// The window's controls, layout and routing, without a device.
#include "app/frmtarnel.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "support/eventloop.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

class WindowTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    FrmTarnel window{dir.path()};
};

TEST_F(WindowTest, ControlsAreWhereTheLayoutPutsThem)
{
    // What a screen reader is told: each control's role and name, the text
    // boxes named by the labels beside them.
    struct Control
    {
        const char *name;
        const char *parent;
        QRect geometry;
        QString text;
        QString toolTip;
        QAccessible::Role role;
        QString accessibleName;
    };
    const QList<Control> controls{
        {"cmdStart", "frmTarnel", {72, 136, 113, 41}, "Start", "", QAccessible::Button, "Start"},
        {"Frame1", "frmTarnel", {8, 8, 249, 81}, "Settings", "", QAccessible::Grouping, "Settings"},
        {"lbl1", "Frame1", {8, 16, 49, 17}, "COM Port", "", QAccessible::StaticText, "COM Port"},
        {"txtPort",
         "Frame1",
         {64, 15, 17, 19},
         "1",
         "COM port number",
         QAccessible::EditableText,
         "COM Port"},
        {"chkTime",
         "Frame1",
         {144, 16, 81, 17},
         "Add Time",
         "Add system time mark to each line ",
         QAccessible::CheckBox,
         "Add Time"},
        {"lbl2", "Frame1", {8, 48, 57, 17}, "Delimiter", "", QAccessible::StaticText, "Delimiter"},
        {"txtDelim",
         "Frame1",
         {64, 47, 17, 19},
         ";",
         "Fields delimiter character",
         QAccessible::EditableText,
         "Delimiter"},
        {"chkOver",
         "Frame1",
         {144, 48, 97, 17},
         "Overwrite Log",
         "Overwrite file content or append new log to the end of file",
         QAccessible::CheckBox,
         "Overwrite Log"},
        {"Label3",
         "frmTarnel",
         {8, 96, 49, 17},
         "Log file:",
         "",
         QAccessible::StaticText,
         "Log file:"},
        {"txtFile",
         "frmTarnel",
         {8, 112, 249, 19},
         QDir::toNativeSeparators(dir.filePath("log.csv")), // backslashes on Windows
         "Log file name",
         QAccessible::EditableText,
         "Log file:"},
        {"Label1", "frmTarnel", {8, 184, 257, 17}, "", "", QAccessible::StatusBar, ""},
    };
    EXPECT_EQ(window.objectName(), QStringLiteral("frmTarnel"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tarnel"));
    EXPECT_EQ(window.size(), QSize(265, 201));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const auto sizes = window.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));

    for (const Control &c : controls) {
        SCOPED_TRACE(c.name);
        auto *w = window.findChild<QWidget *>(QLatin1String(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), QLatin1String(c.parent));
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_EQ(w->toolTip(), c.toolTip);
        QString text;
        if (auto *b = qobject_cast<QAbstractButton *>(w))
            text = b->text();
        else if (auto *l = qobject_cast<QLabel *>(w))
            text = l->text();
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            text = e->text();
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            text = g->title();
        EXPECT_EQ(text, c.text);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), c.role);
        EXPECT_EQ(accessible->text(QAccessible::Name), c.accessibleName);
        if (!c.toolTip.isEmpty()) {
            EXPECT_EQ(accessible->text(QAccessible::Description), c.toolTip);
        }
    }
    EXPECT_EQ(window.chkTime->checkState(), Qt::Unchecked);
    EXPECT_EQ(window.chkOver->checkState(), Qt::Unchecked);
    EXPECT_EQ(window.Timer1->interval(), 2000);
    EXPECT_TRUE(window.Timer1->isActive());
    EXPECT_EQ(window.Label1->textFormat(), Qt::PlainText);
    EXPECT_FALSE(window.comm->isOpen());
}

TEST_F(WindowTest, EveryCaptionFitsItsBox)
{
    for (QWidget *w : QList<QWidget *>{window.cmdStart, window.lbl1, window.chkTime, window.lbl2,
                                       window.chkOver, window.Label3}) {
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_LE(w->sizeHint().width(), w->width());
        EXPECT_LE(w->minimumSizeHint().height(), w->height());
    }
}

TEST_F(WindowTest, TabOrderFollowsTheLayoutAndEnterDoesNotStart)
{
    window.show();
    const QList<QWidget *> order{window.cmdStart, window.txtPort, window.chkTime,
                                 window.txtDelim, window.chkOver, window.txtFile};
    for (qsizetype i = 0; i < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[(i + 1) % order.size()]) << i;
    }
    EXPECT_FALSE(window.cmdStart->isDefault());
    QSignalSpy clicks(window.cmdStart, &QPushButton::clicked);
    for (QWidget *focus :
         {static_cast<QWidget *>(window.txtPort), static_cast<QWidget *>(window.cmdStart)}) {
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Return);
        QTest::keyClick(focus, Qt::Key_Enter);
        QTest::keyClick(focus, Qt::Key_Escape);
    }
    EXPECT_EQ(clicks.count(), 0);
}

TEST_F(WindowTest, StatusMessagesAreClearedByTheTimer)
{
    // The first expiry after creation clears and disarms.
    window.clearStatus();
    EXPECT_FALSE(window.Timer1->isActive());

    const QList<std::pair<int, QString>> codes{
        {3, "Change in CTS Detected"},
        {4, "Change in DSR Detected"},
        {5, "Change in CD Detected"},
        {6, "The Phone is Ringing"},
        {7, "End of File Detected"},
        {1001, "Break Received"},
        {1002, "CTS Timeout"},
        {1003, "DSR Timeout"},
        {1004, "Framing Error"},
        {1006, "Overrun Error"},
        {1007, "Carrier Detect Timeout"},
        {1008, "Receive Buffer Overflow"},
        {1009, "Parity Error"},
        {1010, "Transmit Buffer Full"},
        {1011, "Error retrieving DCB"},
        {0, "Unknown error or event"},
        {1005, "Unknown error or event"},
        {-3, "Unknown error or event"},
        {32767, "Unknown error or event"},
    };
    for (const auto &[code, text] : codes) {
        window.clearStatus();
        emit window.comm->notification(code);
        EXPECT_EQ(window.Label1->text(), text) << code;
        EXPECT_TRUE(window.Timer1->isActive()) << code;
    }

    // Code 1 changes nothing; code 2 with nothing to read arms nothing.
    window.clearStatus();
    window.Label1->setText(QStringLiteral("kept"));
    emit window.comm->notification(EventCode::TransmitBufferLow);
    emit window.comm->notification(EventCode::Receive);
    EXPECT_EQ(window.Label1->text(), QStringLiteral("kept"));
    EXPECT_FALSE(window.Timer1->isActive());
}

TEST_F(WindowTest, ArmingAnArmedTimerStartsTheTwoSecondsAgain)
{
    emit window.comm->notification(EventCode::Break);
    ASSERT_TRUE(waitUntil([&] { return window.Timer1->remainingTime() < 1900; }));
    const int before = window.Timer1->remainingTime();
    emit window.comm->notification(EventCode::Parity);
    EXPECT_GT(window.Timer1->remainingTime(), before);
    EXPECT_EQ(window.Label1->text(), QStringLiteral("Parity Error"));
    QSignalSpy expiry(window.Timer1, &QTimer::timeout);
    ASSERT_TRUE(expiry.wait(10000));
    EXPECT_EQ(expiry.count(), 1);
    EXPECT_TRUE(window.Label1->text().isEmpty());
    EXPECT_FALSE(window.Timer1->isActive());
}

TEST(WindowSettings, ClosingTheWindowWritesTheFiveSettings)
{
    struct Case
    {
        QByteArray fileBefore; // what the window loads; empty: no file
        std::function<void(FrmTarnel &)> edit;
        QByteArray written;
        Qt::CheckState timeRestored, overwriteRestored;
    };
    const QList<Case> cases{
        {"",
         [](FrmTarnel &w) {
             w.txtPort->setText(QStringLiteral(" 3 "));
             w.txtDelim->setText(QStringLiteral("\t"));
             w.txtFile->setText(QStringLiteral("/tmp/é.csv"));
             w.chkTime->setChecked(true);
         },
         "3\r\n\t\r\n" + QStringLiteral("/tmp/é.csv").toLocal8Bit() + "\r\n 1\r\n 0\r\n",
         Qt::Checked, Qt::Unchecked},
        // Greyed boxes (1.5 rounds to 2) are written back greyed, as 2,
        // which the next start reads as cleared.
        {"4\r\n;\r\n/x.csv\r\n1.5\r\n1\r\n", nullptr, "4\r\n;\r\n/x.csv\r\n 2\r\n 1\r\n",
         Qt::Unchecked, Qt::Checked},
        {"4\r\n;\r\n/x.csv\r\n 0\r\n1.5\r\n", nullptr, "4\r\n;\r\n/x.csv\r\n 0\r\n 2\r\n",
         Qt::Unchecked, Qt::Unchecked},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written.toStdString());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tarnel.ini"));
        if (!c.fileBefore.isEmpty()) {
            QFile before(path);
            ASSERT_TRUE(before.open(QIODevice::WriteOnly));
            before.write(c.fileBefore);
        }
        {
            FrmTarnel window(dir.path());
            if (c.edit)
                c.edit(window);
            window.close();
        }
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), c.written);

        FrmTarnel restored(dir.path());
        const QList<QByteArray> lines = c.written.split('\n');
        EXPECT_EQ(restored.txtPort->text().toLocal8Bit() + "\r", lines[0]);
        EXPECT_EQ(restored.txtDelim->text().toLocal8Bit() + "\r", lines[1]);
        EXPECT_EQ(restored.txtFile->text().toLocal8Bit() + "\r", lines[2]);
        EXPECT_EQ(restored.chkTime->checkState(), c.timeRestored);
        EXPECT_EQ(restored.chkOver->checkState(), c.overwriteRestored);
    }
}

TEST(WindowSettings, AGreyedBoxFromTheFileCountsAsUnchecked)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("tarnel.ini")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("1\r\n;\r\n\r\n1.5\r\n 2\r\n");
    file.close();
    FrmTarnel window(dir.path());
    EXPECT_EQ(window.chkTime->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(window.chkOver->checkState(), Qt::Unchecked); // 2 is outside 0 < v < 2
    window.chkTime->click();
    EXPECT_EQ(window.chkTime->checkState(), Qt::Checked);
    window.chkTime->click();
    EXPECT_EQ(window.chkTime->checkState(), Qt::Unchecked);
    window.chkTime->click();
    EXPECT_EQ(window.chkTime->checkState(), Qt::Checked);
}

} // namespace
