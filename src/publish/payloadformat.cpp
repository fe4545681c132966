#include "publish/payloadformat.h"

#include <QJsonDocument>
#include <QJsonObject>

QByteArray PayloadFormat::lineJson(QByteArrayView line, qint64 position,
                                   const QByteArray &generation)
{
    const QString text = QString::fromUtf8(line);
    QJsonObject object{{QStringLiteral("line"), text},
                       {QStringLiteral("position"), QJsonValue(position)},
                       {QStringLiteral("generation"), QString::fromLatin1(generation)}};
    // Bytes that are not UTF-8 came back changed: they go as they are too.
    if (text.toUtf8() != line)
        object.insert(QStringLiteral("bytes"), QString::fromLatin1(line.toByteArray().toBase64()));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray PayloadFormat::event(const QDateTime &time, const QString &text, bool json)
{
    const QString when = time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
    if (!json)
        return (when + u' ' + text).toUtf8();
    return QJsonDocument(
               QJsonObject{{QStringLiteral("time"), when}, {QStringLiteral("message"), text}})
        .toJson(QJsonDocument::Compact);
}
