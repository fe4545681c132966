#include "support/files.h"

#include <QFile>

#include <fstream>
#include <string>

#include <sys/stat.h>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

qint64 fileSize(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_size : -1;
}

qint64 firstDifference(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return 0;
    for (qint64 offset = 0;;) {
        const QByteArray x = fa.read(1 << 20), y = fb.read(1 << 20);
        if (x != y) {
            qsizetype i = 0;
            while (i < x.size() && i < y.size() && x[i] == y[i])
                ++i;
            return offset + i;
        }
        if (x.isEmpty())
            return -1;
        offset += x.size();
    }
}

long residentKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            break;
        }
    }
    return value;
}
