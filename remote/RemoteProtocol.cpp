#include "remote/RemoteProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <cmath>

namespace remote {

QJsonObject okReply() { return QJsonObject{{"ok", true}}; }

QJsonObject errorReply(const QString& code, const QString& message) {
  return QJsonObject{{"ok", false}, {"error", QJsonObject{{"code", code}, {"message", message}}}};
}

bool isError(const QJsonObject& reply) { return !reply.value("ok").toBool(); }

QString errorCode(const QJsonObject& reply) {
  return reply.value("error").toObject().value("code").toString();
}

QString errorMessage(const QJsonObject& reply) {
  return reply.value("error").toObject().value("message").toString();
}

std::optional<QJsonObject> parseRequest(QByteArray message, QJsonObject* error) {
  if (message.size() > kMaxRequestBytes) {
    *error = errorReply(kTooLarge, QString("message of %1 bytes is over the limit of %2 bytes")
                                       .arg(message.size())
                                       .arg(kMaxRequestBytes));
    return std::nullopt;
  }
  if (message.endsWith("\r\n")) {
    message.chop(2);
  } else if (message.endsWith('\n')) {
    message.chop(1);
  }
  QJsonParseError parseError;
  const QJsonDocument document = QJsonDocument::fromJson(message, &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    *error = errorReply(kBadJson, "not JSON: " + parseError.errorString() + " at offset " +
                                      QString::number(parseError.offset));
    return std::nullopt;
  }
  if (!document.isObject()) {
    *error = errorReply(kBadJson, "a request must be a JSON object");
    return std::nullopt;
  }
  return document.object();
}

std::optional<int> wholeNumber(const QJsonObject& request, const char* field, int low, int high,
                               QJsonObject* error) {
  const QJsonValue value = request.value(QLatin1String(field));
  const QString wanted =
      QString("%1 must be a whole number from %2 to %3").arg(field).arg(low).arg(high);
  if (value.isUndefined()) {
    *error = errorReply(kBadArgument, QString("%1 is missing; ").arg(field) + wanted);
    return std::nullopt;
  }
  const double number = value.toDouble(std::nan(""));
  if (!value.isDouble() || std::isnan(number) || number != std::floor(number) || number < low ||
      number > high) {
    const QString given = QString::fromUtf8(
        QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1));
    *error = errorReply(kBadArgument, wanted + ", not " + given);
    return std::nullopt;
  }
  return static_cast<int>(number);
}

QByteArray toLine(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace remote
