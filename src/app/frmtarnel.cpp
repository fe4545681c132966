#include "app/frmtarnel.h"

#include "app/statusmessage.h"
#include "app/statustext.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "settings/settingsfile.h"
#include "settings/textnumbers.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <limits>
#include <type_traits>

namespace {

constexpr int statusClearMs = 2000;

QString portFailedText(const QString &portText)
{
    return QStringLiteral("COM port ") + portText + QStringLiteral(" does not exist or busy");
}

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

bool isChecked(const QCheckBox *box)
{
    return box->checkState() == Qt::Checked;
}

int checkValue(const QCheckBox *box)
{
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

void setCheckValue(QCheckBox *box, int value)
{
    // Only the settings file gives 2, the greyed state; see createControls().
    box->setCheckState(value == 1   ? Qt::Checked
                       : value == 2 ? Qt::PartiallyChecked
                                    : Qt::Unchecked);
}

} // namespace

FrmTarnel::FrmTarnel(const FileLocations &files, QWidget *parent)
    : QWidget(parent), comm(new SerialPort(files.configDir, this)), m_files(files), m_session(*comm)
{
    setObjectName(QStringLiteral("frmTarnel"));
    setWindowTitle(QStringLiteral("Tarnel"));
    QIcon icon(QStringLiteral(":/icons/tarnel32.xpm"));
    icon.addFile(QStringLiteral(":/icons/tarnel16.xpm"));
    setWindowIcon(icon);
    setFixedSize(265, 201);
    createControls();
    setTabOrder();
    fitFont();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(statusClearMs);
    connect(Timer1, &QTimer::timeout, this, &FrmTarnel::clearStatus);
    Timer1->start();

    comm->setObjectName(QStringLiteral("comm"));
    connect(comm, &SerialPort::notification, this, &FrmTarnel::handleNotification);
    connect(comm, &SerialPort::deviceLost, this, &FrmTarnel::handleDeviceLost);
    connect(comm, &SerialPort::portRefused, this, &FrmTarnel::showPortRefused);
    connect(comm, &SerialPort::deviceRestored, this, [this] {
        m_refusals = 0;
        showMessage(EventMessages::deviceReconnected());
    });
    connect(cmdStart, &QPushButton::clicked, this, &FrmTarnel::toggleLogging);

    m_files.makeDefaultLogDir(); // so that Start with the default log works at once
    loadSettings();
}

FrmTarnel::~FrmTarnel() = default;

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

void FrmTarnel::toggleLogging()
{
    if (cmdStart->text() == QLatin1String("Start"))
        startLogging(false);
    else {
        m_session.stop();
        showIdle();
    }
}

void FrmTarnel::startAtLaunch()
{
    if (cmdStart->text() == QLatin1String("Start"))
        startLogging(true);
}

void FrmTarnel::startLogging(bool waitForPort)
{
    const LogSession::StartRequest request{txtPort->text(), txtFile->text(), isChecked(chkOver),
                                           txtDelim->text(), waitForPort};
    switch (m_session.start(request)) {
    case LogSession::StartResult::DelimiterRefused:
        showError(QStringLiteral("Can't write this delimiter in the system code page: ") +
                  TextNumbers::firstCharacter(request.delimiterText));
        return;
    case LogSession::StartResult::PortFailed:
        showError(portFailedText(request.portText));
        return;
    case LogSession::StartResult::FileFailed:
        showError(QStringLiteral("Can't open or create file: ") + request.fileText);
        return;
    case LogSession::StartResult::Started:
        showLogging();
        return;
    case LogSession::StartResult::WaitingForPort:
        showLogging();
        m_refusals = 0;
        if (comm->isRefused())
            showPortRefused();
        else
            showMessage(EventMessages::deviceDisconnected());
        return;
    }
}

void FrmTarnel::showLogging()
{
    cmdStart->setText(QStringLiteral("Stop"));
    txtDelim->setEnabled(false);
}

void FrmTarnel::showIdle()
{
    txtDelim->setEnabled(true);
    cmdStart->setText(QStringLiteral("Start"));
}

void FrmTarnel::handleNotification(int code)
{
    if (code == EventCode::Receive)
        receive();
    else if (EventMessages::showsMessage(code))
        showMessage(EventMessages::messageFor(code));
}

void FrmTarnel::receive()
{
    showReceived(m_session.receive(comm->readInput(), isChecked(chkTime)));
}

void FrmTarnel::handleDeviceLost()
{
    m_refusals = 0;
    showReceived(m_session.endPartialLine(isChecked(chkTime)));
    if (isLogging())
        showMessage(EventMessages::deviceDisconnected());
}

// Said in the status line at each try, so that the window never looks like
// logging, and on standard error once a minute, so that the journal does not.
void FrmTarnel::showPortRefused()
{
    constexpr int triesBetweenLogs = 60;
    showMessage(portFailedText(m_session.portText()), m_refusals++ % triesBetweenLogs == 0);
}

void FrmTarnel::showReceived(const LogSession::ReceiveResult &result)
{ // Only the last of several lines could ever be seen.
    if (result.hasLines) {
        Label1->setText(statusText(result.lastLine));
        m_statusMessage->hide(); // replaced on screen by the line
    }
    if (result.noLineEnd)
        showMessage(EventMessages::noLineEnd());
    if (result.writeFailed) {
        showIdle();
        showError(QStringLiteral("Can't write to file: ") + m_session.fileText());
    }
}

void FrmTarnel::showMessage(const QString &text, bool logged)
{
    if (logged)
        emit messageShown(text);
    Label1->setText(text);
    m_statusMessage->show(text);
    Timer1->start(); // restarts the two seconds when already armed
}

void FrmTarnel::clearStatus()
{
    Label1->clear();
    m_statusMessage->hide();
    Timer1->stop();
}

void FrmTarnel::showError(const QString &text)
{
    emit messageShown(text);
    if (m_headless) {
        m_exitStatus = 1;
        close();
        return;
    }
    QMessageBox::critical(this, QStringLiteral("Tarnel"), text);
}

void FrmTarnel::closeEvent(QCloseEvent *event)
{
    saveSettings();
    m_session.stop();
    event->accept();
}

WindowFields FrmTarnel::fields() const
{
    return {txtPort->text(), txtDelim->text(), txtFile->text(), checkValue(chkTime),
            checkValue(chkOver)};
}

void FrmTarnel::loadSettings()
{
    WindowFields loaded = fields();
    SettingsFile::load(SettingsFile::path(m_files.configDir), m_files.defaultLogPath, loaded);
    txtPort->setText(loaded.port);
    txtDelim->setText(loaded.delimiter);
    txtFile->setText(loaded.logFile);
    setCheckValue(chkTime, loaded.timeMark);
    setCheckValue(chkOver, loaded.overwrite);
}

void FrmTarnel::saveSettings()
{
    // A failed save keeps the old file; closing must go on regardless.
    m_files.makeConfigDir();
    SettingsFile::save(SettingsFile::path(m_files.configDir), fields());
}
