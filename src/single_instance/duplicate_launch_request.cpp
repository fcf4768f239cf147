#include "duplicate_launch_request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray DuplicateLaunchRequest::toJson() const
{
    QJsonArray urls;
    for (const QUrl &url : fileURLs)
        urls.append(url.toString(QUrl::FullyEncoded));
    QDateTime seconds = createdAt.toUTC();
    seconds.setTime(QTime(seconds.time().hour(), seconds.time().minute(), seconds.time().second()));
    QJsonObject object{{"arguments", QJsonArray::fromStringList(arguments)},
                       {"fileURLs", urls},
                       {"createdAt", seconds.toString(Qt::ISODate)}};
    if (!activationToken.isEmpty())
        object.insert("activationToken", activationToken);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<DuplicateLaunchRequest> DuplicateLaunchRequest::fromJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue arguments = object.value("arguments");
    const QJsonValue urls = object.value("fileURLs");
    const QJsonValue createdAt = object.value("createdAt");
    if (!arguments.isArray() || !urls.isArray() || !createdAt.isString())
        return std::nullopt;

    DuplicateLaunchRequest request;
    for (const QJsonValue &argument : arguments.toArray()) {
        if (!argument.isString())
            return std::nullopt;
        request.arguments.append(argument.toString());
    }
    for (const QJsonValue &value : urls.toArray()) {
        if (!value.isString())
            return std::nullopt;
        const QUrl url(value.toString(), QUrl::StrictMode);
        if (!url.isValid() || url.isRelative())
            return std::nullopt;
        request.fileURLs.append(url);
    }
    request.createdAt = QDateTime::fromString(createdAt.toString(), Qt::ISODate);
    if (!request.createdAt.isValid())
        return std::nullopt;
    request.createdAt = request.createdAt.toUTC();
    request.activationToken = object.value("activationToken").toString();
    return request;
}
