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

public slots:
    void toggleLogging();
    void clearStatus();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void setTabOrder();
    void fitFont();
    bool captionsFit() const;
    void startLogging();
    void showIdle();
    void handleNotification(int code);
    void receive();
    void showMessage(const QString &text);
    void showError(const QString &text);
    void loadSettings();
    void saveSettings();
    WindowFields fields() const;

    FileLocations m_files;
    LogSession m_session;
    StatusMessage *m_statusMessage = nullptr;
};
