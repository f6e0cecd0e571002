#pragma once
// RemoteProtocol: what the command line, the control socket and the HTTP and WebSocket
// API have in common: the shape of a request and of its reply, the error codes, and
// the checks on a request's fields. A request is a JSON object {"op": ..., fields...}
// (optionally with an "id" that the reply repeats); a reply is {"ok": true, ...} or
// {"ok": false, "error": {"code": ..., "message": ...}}.
//
// Plain functions over Qt's JSON types. Thread-safety: every function is reentrant.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace remote {

// The error codes a reply can carry.
inline constexpr const char* kBadJson = "badJson";            // not one JSON object
inline constexpr const char* kBadArgument = "badArgument";    // a field missing or out of range
inline constexpr const char* kUnknownOp = "unknownOp";        // no such operation
inline constexpr const char* kFailed = "failed";              // the board could not do it
inline constexpr const char* kTooLarge = "tooLarge";          // a message over the size limit
inline constexpr const char* kUnauthorized = "unauthorized";  // no token or a wrong one
inline constexpr const char* kBadOrigin = "badOrigin";        // sent from a web page elsewhere
inline constexpr const char* kNotFound = "notFound";          // no such address (HTTP)

// The longest request accepted, in bytes: a request is a few dozen bytes, so this
// leaves room for any client while keeping a stuck or hostile one from growing memory.
inline constexpr qsizetype kMaxRequestBytes = 64 * 1024;

inline constexpr int kCategoryCount = 5;
inline constexpr int kButtonCount = 40;

QJsonObject okReply();
QJsonObject errorReply(const QString& code, const QString& message);
bool isError(const QJsonObject& reply);
QString errorCode(const QJsonObject& reply);
QString errorMessage(const QJsonObject& reply);

// One message as a client sends it: a trailing "\r\n" or "\n" is ignored. On failure
// `error` holds the reply to send.
std::optional<QJsonObject> parseRequest(QByteArray message, QJsonObject* error);

// The whole number in `field` when it lies in [low, high]; none (with the reason in
// `error`) when it is absent, not a number, fractional or out of range.
std::optional<int> wholeNumber(const QJsonObject& request, const char* field, int low, int high,
                               QJsonObject* error);

// One compact line of JSON, ending in "\n".
QByteArray toLine(const QJsonObject& object);

}  // namespace remote
