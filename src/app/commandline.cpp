#include "app/commandline.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdlib>

CommandLine::CommandLine()
{
    m_parser.setApplicationDescription(
        QStringLiteral("Records the text lines a serial device sends into a log file."));
    m_parser.addOptions({m_start, m_settingsDir});
    m_parser.addHelpOption();
    m_parser.addVersionOption();
}

bool CommandLine::parse(const QStringList &arguments)
{
    m_error.clear();
    if (!m_parser.parse(arguments))
        m_error = m_parser.errorText();
    else if (!m_parser.positionalArguments().isEmpty())
        m_error = QStringLiteral("Unexpected argument '%1'.")
                      .arg(m_parser.positionalArguments().constFirst());
    else if (m_parser.isSet(m_settingsDir) && m_parser.value(m_settingsDir).isEmpty())
        m_error = QStringLiteral("No folder given for --settings-dir.");
    return m_error.isEmpty();
}

bool CommandLine::asksForHelpOrVersion() const
{
    return m_parser.isSet(QStringLiteral("help")) || asksForQtOptions() ||
           m_parser.isSet(QStringLiteral("version"));
}

bool CommandLine::asksForQtOptions() const
{
    return m_parser.isSet(QStringLiteral("help-all"));
}

void CommandLine::answer(const QCoreApplication &app)
{
    m_parser.process(app); // prints and exits for each of the three
    std::exit(EXIT_SUCCESS);
}

bool CommandLine::startsLogging() const
{
    return m_parser.isSet(m_start);
}

QString CommandLine::settingsDir() const
{
    if (!m_parser.isSet(m_settingsDir))
        return {};
    return QDir::cleanPath(QDir(m_parser.value(m_settingsDir)).absolutePath());
}
