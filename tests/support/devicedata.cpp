#include "support/devicedata.h"

QByteArray everyByteValue()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all;
}

QByteArray longLineWithCommas(qsizetype size)
{
    QByteArray line(size, 'x');
    for (qsizetype i = 0; i < line.size(); i += 1000)
        line[i] = ',';
    return line;
}
