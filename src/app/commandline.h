#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The program's options. Qt's own (-platform offscreen, -style...) are left
// to QApplication, which takes them off the command line when it starts.
class CommandLine
{
public:
    CommandLine();

    // False for an unknown option, a missing value or a stray argument;
    // errorText() then says which.
    bool parse(const QStringList &arguments);
    const QString &errorText() const { return m_error; }

    // --help, --help-all or --version, which answer() prints.
    bool asksForHelpOrVersion() const;
    // --help-all also lists Qt's own options, which only a QApplication knows.
    bool asksForQtOptions() const;
    // Prints the help or the version as Qt's programs do and ends the
    // program; the application must exist, a QApplication for --help-all.
    [[noreturn]] void answer();

    // --start: logging starts at once with the saved settings.
    bool startsLogging() const;
    // The absolute folder --settings-dir names, or empty without it.
    QString settingsDir() const;

private:
    QCommandLineParser m_parser;
    QCommandLineOption m_start{
        QStringLiteral("start"),
        QStringLiteral("Start logging at once with the saved settings, as if Start were pressed. "
                       "A port that cannot be opened yet is tried again every second.")};
    QCommandLineOption m_settingsDir{
        QStringLiteral("settings-dir"),
        QStringLiteral("Keep tarnel.ini, the com<N> port links and the default log.csv in "
                       "<folder>, one folder per port and service."),
        QStringLiteral("folder")};
    QStringList m_arguments; // as parsed, without Qt's own options
    QString m_error;
};
