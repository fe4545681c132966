#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QString>

// The log file, open while logging. Writes go straight to the system, so a
// line is in the file as soon as write() returns.
class LogFile
{
public:
    enum class Mode { Append, Overwrite };

    // Overwrite removes or empties only the one file named; the name is
    // taken literally, relative names against the current directory.
    bool open(const QString &name, Mode mode);
    bool write(QByteArrayView data);
    // Opens the same name again for appending: after a rotation, a new file.
    bool reopen();
    void close() { m_file.close(); }
    bool isOpen() const { return m_file.isOpen(); }

private:
    QFile m_file;
};
