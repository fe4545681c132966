#include "publish/fileaccess.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileAccess::othersMayRead(const QString &path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool FileAccess::syncToDisk(const QString &path)
{
    // Any descriptor of the file flushes its data.
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool synced = ::fdatasync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

bool FileAccess::isSameFile(const QFile &open, const QString &path)
{
    struct stat opened
    {
    };
    struct stat named
    {
    };
    return ::fstat(open.handle(), &opened) == 0 &&
           ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}
