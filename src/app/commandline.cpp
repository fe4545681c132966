#include "app/commandline.h"

#include <QDir>

#include <algorithm>

#include <cstdlib>

namespace {

// What QGuiApplication, QApplication and the X11 platform take off the command
// line themselves, with one dash or two. Known before a QApplication exists,
// they let a wrong option be told apart without a display, which a board with
// no screen lacks and without which a QApplication cannot even be made.
struct QtOption
{
    QLatin1String name;
    bool takesValue;
};
constexpr QtOption qtOptions[] = {
    {QLatin1String("platform"), true},
    {QLatin1String("platformpluginpath"), true},
    {QLatin1String("platformtheme"), true},
    {QLatin1String("plugin"), true},
    {QLatin1String("qwindowgeometry"), true},
    {QLatin1String("geometry"), true},
    {QLatin1String("qwindowtitle"), true},
    {QLatin1String("title"), true},
    {QLatin1String("qwindowicon"), true},
    {QLatin1String("icon"), true},
    {QLatin1String("session"), true},
    {QLatin1String("style"), true},
    {QLatin1String("stylesheet"), true},
    {QLatin1String("display"), true},
    {QLatin1String("name"), true},
    {QLatin1String("reverse"), false},
    {QLatin1String("testability"), false},
    {QLatin1String("widgetcount"), false},
    {QLatin1String("nograb"), false},
    {QLatin1String("dograb"), false},
    {QLatin1String("sync"), false},
};
// The same given as -name=value.
constexpr QLatin1String qtOptionsWithEquals[] = {
    QLatin1String("style="), QLatin1String("stylesheet="), QLatin1String("qmljsdebugger=")};

QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QStringView name = arguments.at(i);
        if (i == 0 || !name.startsWith(u'-') || name == u"--") {
            kept.append(arguments.at(i));
            continue;
        }
        name = name.mid(name.startsWith(u"--") ? 2 : 1);
        const auto option = std::find_if(std::begin(qtOptions), std::end(qtOptions),
                                         [name](const QtOption &o) { return name == o.name; });
        const bool withEquals =
            std::any_of(std::begin(qtOptionsWithEquals), std::end(qtOptionsWithEquals),
                        [name](QLatin1String prefix) { return name.startsWith(prefix); });
        if (option == std::end(qtOptions) && !withEquals)
            kept.append(arguments.at(i));
        else if (option != std::end(qtOptions) && option->takesValue)
            ++i;
    }
    return kept;
}

} // namespace

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
    m_arguments = withoutQtOptions(arguments);
    if (!m_parser.parse(m_arguments))
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

void CommandLine::answer()
{
    m_parser.process(m_arguments); // prints and exits for each of the three
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
