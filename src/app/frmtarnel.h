#pragma once

#include "logging/logsession.h"
#include "settings/filelocations.h"

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class Publisher;
class SerialPort;
class StatusMessage;
struct WindowFields;

// The one window: its controls hold the five settings; it routes the button,
// the port's notifications and the status timer to the logic behind them.
class FrmTarnel : public QWidget
{
    Q_OBJECT

public:
    // files says where the settings file, the com<N> links and the default
    // log file are.
    explicit FrmTarnel(const FileLocations &files, QWidget *parent = nullptr);
    // A program folder the user may write: everything in it.
    explicit FrmTarnel(const QString &programDir, QWidget *parent = nullptr)
        : FrmTarnel(FileLocations::inOneFolder(programDir), parent)
    {
    }
    ~FrmTarnel() override;

    QPushButton *cmdStart = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *lbl1 = nullptr;
    QLineEdit *txtPort = nullptr;
    QCheckBox *chkTime = nullptr;
    QLabel *lbl2 = nullptr;
    QLineEdit *txtDelim = nullptr;
    QCheckBox *chkOver = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtFile = nullptr;
    QLabel *Label1 = nullptr;
    QTimer *Timer1 = nullptr;
    SerialPort *comm = nullptr;

    bool isLogging() const { return m_session.isLogging(); }
    const LogSession &session() const { return m_session; }

    // Without a screen nobody can answer a message box: a message then ends
    // the program instead, the window closing the normal way, so that a
    // service manager sees the failure and may start it again.
    void setHeadless(bool headless) { m_headless = headless; }
    // 1 once a message has ended the program that way, else 0.
    int exitStatus() const { return m_exitStatus; }

public slots:
    void toggleLogging();
    // Start as if pressed, except that a port that cannot be opened yet is
    // treated as a device that went away: nobody may be there to answer.
    void startAtLaunch();
    void clearStatus();
    // Opens the log file again by its name, as after a rotation; a failure
    // stops logging as a failed write does.
    void reopenLog();

signals:
    // Each event message the status line shows and each message box text.
    void messageShown(const QString &text);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void setTabOrder();
    void fitFont();
    bool captionsFit() const;
    void startLogging(bool waitForPort);
    void showPublishing(const QString &settingsNote);
    void showLogging();
    void showIdle();
    void handleNotification(int code);
    void receive();
    void handleDeviceLost();
    void showPortRefused();
    void showReceived(const LogSession::ReceiveResult &result);
    void showMessage(const QString &text, bool logged = true);
    void showError(const QString &text, bool logged = true);
    void stopAfterError(const QString &text);
    void loadSettings();
    void saveSettings();
    WindowFields fields() const;

    FileLocations m_files;
    Publisher *m_publisher = nullptr; // before m_session, which uses it
    LogSession m_session;
    StatusMessage *m_statusMessage = nullptr;
    bool m_headless = false;
    int m_refusals = 0; // tries in a row that found the port busy or refused
    int m_exitStatus = 0;
};
