#include "app/frmtarnel.h"

#include "app/statusmessage.h"
#include "app/statustext.h"
#include "capture/eventmessages.h"
#include "capture/serialport.h"
#include "publish/publisher.h"
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

namespace {

constexpr int statusClearMs = 2000;

QString portFailedText(const QString &portText)
{
    return QStringLiteral("COM port ") + portText + QStringLiteral(" does not exist or busy");
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
    : QWidget(parent), comm(new SerialPort(files.configDir, this)), m_files(files),
      m_publisher(new Publisher(this)), m_session(*comm, m_publisher)
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
    connect(m_publisher, &Publisher::message, this,
            [this](const QString &text) { showMessage(text); });
    // What the journal gets, the broker's events topic gets too.
    connect(this, &FrmTarnel::messageShown, m_publisher, &Publisher::publishEvent);

    m_files.makeDefaultLogDir(); // so that Start with the default log works at once
    loadSettings();
}

FrmTarnel::~FrmTarnel() = default;

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
    LogSession::StartRequest request{txtPort->text(),  txtFile->text(), isChecked(chkOver),
                                     txtDelim->text(), waitForPort,     std::nullopt};
    PublishSettings publish;
    const auto loaded =
        publish.load(m_files.configDir, TextNumbers::portNumber(request.portText).value_or(0));
    if (loaded.enabled)
        request.publish = publish;
    const QString settingsNote = loaded.error.isEmpty() ? loaded.warning : loaded.error;
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
        showPublishing(settingsNote);
        return;
    case LogSession::StartResult::WaitingForPort:
        showLogging();
        showPublishing(settingsNote);
        m_refusals = 0;
        if (comm->isRefused())
            showPortRefused();
        else
            showMessage(EventMessages::deviceDisconnected());
        return;
    }
}

// Said at Start: logging goes on whatever publishing makes of its settings.
void FrmTarnel::showPublishing(const QString &settingsNote)
{
    if (!settingsNote.isEmpty())
        showMessage(settingsNote);
    for (const QString &note : m_session.publishNotes())
        showMessage(note);
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
    if (result.writeFailed)
        stopAfterError(QStringLiteral("Can't write to file: ") + m_session.fileText());
}

void FrmTarnel::reopenLog()
{
    if (!m_session.reopenLog())
        stopAfterError(QStringLiteral("Can't open or create file: ") + m_session.fileText());
}

// Logging has stopped on its own: the message is published before publishing
// stops too, and only then shown in a box that may wait for long.
void FrmTarnel::stopAfterError(const QString &text)
{
    emit messageShown(text);
    m_session.stop();
    showIdle();
    showError(text, false);
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

void FrmTarnel::showError(const QString &text, bool logged)
{
    if (logged)
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
