// The window's controls, placed as the layout was drawn, and its font.
#include "app/frmtarnel.h"

#include "app/statusmessage.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>
#include <type_traits>

namespace {

// Positions are kept in twips, as the layout was drawn; 15 twips make one
// pixel at 96 dots per inch.
QRect fromTwips(int left, int top, int width, int height)
{
    auto px = [](int twips) { return qRound(twips / 15.0); };
    return {px(left), px(top), px(width), px(height)};
}

template <typename Control> Control *place(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *control = new Control(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    if constexpr (std::is_same_v<Control, QLineEdit>)
        control->setMaxLength(std::numeric_limits<int>::max()); // the fields have no limit
    return control;
}

} // namespace

void FrmTarnel::createControls()
{
    cmdStart = place<QPushButton>(this, "cmdStart", fromTwips(1080, 2040, 1695, 615));
    cmdStart->setText(QStringLiteral("Start"));
    cmdStart->setAutoDefault(false); // Enter and Escape must not start logging

    Frame1 = place<QGroupBox>(this, "Frame1", fromTwips(120, 120, 3735, 1215));
    Frame1->setTitle(QStringLiteral("Settings"));
    lbl1 = place<QLabel>(Frame1, "lbl1", fromTwips(120, 240, 735, 255));
    lbl1->setText(QStringLiteral("COM Port"));
    txtPort = place<QLineEdit>(Frame1, "txtPort", fromTwips(960, 220, 255, 285));
    txtPort->setText(QStringLiteral("1"));
    txtPort->setToolTip(QStringLiteral("COM port number"));
    chkTime = place<QCheckBox>(Frame1, "chkTime", fromTwips(2160, 240, 1215, 255));
    chkTime->setText(QStringLiteral("Add Time"));
    chkTime->setToolTip(QStringLiteral("Add system time mark to each line "));
    lbl2 = place<QLabel>(Frame1, "lbl2", fromTwips(120, 720, 855, 255));
    lbl2->setText(QStringLiteral("Delimiter"));
    txtDelim = place<QLineEdit>(Frame1, "txtDelim", fromTwips(960, 700, 255, 285));
    txtDelim->setText(QStringLiteral(";"));
    txtDelim->setToolTip(QStringLiteral("Fields delimiter character"));
    chkOver = place<QCheckBox>(Frame1, "chkOver", fromTwips(2160, 720, 1455, 255));
    chkOver->setText(QStringLiteral("Overwrite Log"));
    chkOver->setToolTip(
        QStringLiteral("Overwrite file content or append new log to the end of file"));

    // A greyed box (from the settings file) turns two-state at its first click,
    // so the operator never reaches the greyed state himself.
    for (QCheckBox *box : {chkTime, chkOver})
        connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); });

    Label3 = place<QLabel>(this, "Label3", fromTwips(120, 1440, 735, 255));
    Label3->setText(QStringLiteral("Log file:"));
    txtFile = place<QLineEdit>(this, "txtFile", fromTwips(120, 1680, 3735, 285));
    txtFile->setToolTip(QStringLiteral("Log file name"));
    Label1 = place<QLabel>(this, "Label1", fromTwips(120, 2760, 3855, 255));
    m_statusMessage = new StatusMessage(Label1);
    Label1->setTextFormat(Qt::PlainText); // device text is never markup
    Label1->setAccessibleDescription(QStringLiteral("Status line"));

    // Screen readers name each text box by the label beside it; the captions
    // stay as they are (no mnemonics).
    lbl1->setBuddy(txtPort);
    lbl2->setBuddy(txtDelim);
    Label3->setBuddy(txtFile);
}

// The layout was drawn for an 8 point font at 96 dots per inch (11 pixels),
// and fonts differ in width: the window takes DejaVu Sans where it is
// installed, else the system's own font, at the largest size up to 11
// pixels at which every caption fits its box (9 pixels for DejaVu Sans).
void FrmTarnel::fitFont()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("DejaVu Sans"), font.family()});
    for (int pixels = 11; pixels >= 7; --pixels) {
        font.setPixelSize(pixels);
        setFont(font);
        if (captionsFit())
            return;
    }
}

bool FrmTarnel::captionsFit() const
{
    for (const QWidget *w :
         std::initializer_list<const QWidget *>{cmdStart, lbl1, chkTime, lbl2, chkOver, Label3}) {
        if (w->sizeHint().width() > w->width() || w->minimumSizeHint().height() > w->height())
            return false;
    }
    return true;
}

void FrmTarnel::setTabOrder()
{
    QWidget::setTabOrder(cmdStart, txtPort);
    QWidget::setTabOrder(txtPort, chkTime);
    QWidget::setTabOrder(chkTime, txtDelim);
    QWidget::setTabOrder(txtDelim, chkOver);
    QWidget::setTabOrder(chkOver, txtFile);
}
