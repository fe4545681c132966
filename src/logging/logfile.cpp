#include "logging/logfile.h"

#include <QFileInfo>

namespace {

// Qt reads a leading ':' as its resource system; "./" keeps such a name
// (legal on Linux) the file it names, relative to the current directory.
QString fileSystemName(const QString &name)
{
    return name.startsWith(u':') ? QStringLiteral("./") + name : name;
}

} // namespace

bool LogFile::open(const QString &name, Mode mode)
{
    close();
    if (name.isEmpty())
        return false;
    m_file.setFileName(fileSystemName(name));
    if (mode == Mode::Overwrite) {
        // Replace a file or link with a new file; a device such as /dev/null
        // is never removed, only opened for writing.
        const QFileInfo info(m_file.fileName());
        if ((info.isFile() || info.isSymLink()) && !m_file.remove())
            return false;
        return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    }
    return m_file.open(QIODevice::Append | QIODevice::Unbuffered);
}

bool LogFile::write(QByteArrayView data)
{
    if (data.isEmpty())
        return true;
    return m_file.write(data.data(), data.size()) == data.size();
}

bool LogFile::reopen()
{
    const QString name = m_file.fileName();
    m_file.close();
    m_file.setFileName(name);
    return m_file.open(QIODevice::Append | QIODevice::Unbuffered);
}
