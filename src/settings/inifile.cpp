#include "settings/inifile.h"

#include <QStringDecoder>

bool IniFile::parse(const QByteArray &content)
{
    m_values.clear();
    m_error.clear();
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(content);
    if (utf8.hasError())
        return fail(0, QStringLiteral("not UTF-8 text"));
    QString group;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1); // a Windows editor's line end
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) {
            group = trimmed.mid(1, trimmed.size() - 2).trimmed();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        const QString key = line.left(equals).trimmed();
        if (equals < 0 || key.isEmpty())
            return fail(int(i + 1), QStringLiteral("not a setting (key=value): ") + trimmed);
        const QString fullKey = group.isEmpty() ? key : group + u'/' + key;
        if (m_values.contains(fullKey))
            return fail(int(i + 1), fullKey + QStringLiteral(" given twice"));
        m_values.insert(fullKey, line.mid(equals + 1));
    }
    return true;
}

bool IniFile::fail(int lineNumber, const QString &why)
{
    m_values.clear();
    m_error = lineNumber > 0 ? QStringLiteral("line %1: ").arg(lineNumber) + why : why;
    return false;
}
