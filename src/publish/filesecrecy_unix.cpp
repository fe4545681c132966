#include "publish/publishsettings.h"

#include <QFile>

#include <sys/stat.h>

bool othersMayRead(const QString &path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}
