#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// A small INI file read as written: "[group]" lines, "key=value" lines, and
// comment lines starting with ';' or '#'. A value is every character after
// the first '=' up to the line end, nothing unquoted, trimmed or split, so
// that a password or a topic arrives exactly as typed. UTF-8, with or
// without its byte order mark.
class IniFile
{
public:
    // Keys as "group/key"; false with error() set when the text is not
    // such a file (a line that is neither, a key given twice, bytes that are
    // not UTF-8).
    bool parse(const QByteArray &content);
    const QString &error() const { return m_error; }

    const QMap<QString, QString> &values() const { return m_values; }
    QString value(const QString &key, const QString &fallback = {}) const
    {
        return m_values.value(key, fallback);
    }
    bool contains(const QString &key) const { return m_values.contains(key); }

private:
    bool fail(int lineNumber, const QString &why);

    QMap<QString, QString> m_values;
    QString m_error;
};
