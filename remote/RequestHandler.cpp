#include "remote/RequestHandler.h"

#include "board/Board.h"
#include "remote/RemoteProtocol.h"

using namespace remote;

RequestHandler::RequestHandler(Board& board, QObject* parent) : QObject(parent), board(board) {
  connect(&board, &Board::playbackStarted, this,
          [this](int category, int button, const QString& title, double duration) {
            emit event({{"event", "playbackStarted"},
                        {"category", category},
                        {"button", button},
                        {"title", title},
                        {"duration", duration}});
          });
  connect(&board, &Board::playbackStopped, this, [this](const QString& reason) {
    emit event({{"event", "playbackStopped"}, {"reason", reason}});
  });
  connect(&board, &Board::categoryChanged, this, [this](int category) {
    emit event({{"event", "categoryChanged"}, {"category", category}});
  });
  connect(&board, &Board::libraryChanged, this, [this] {
    emit event({{"event", "libraryChanged"}});
  });
  connect(&board, &Board::volumeChanged, this, [this](int volume) {
    emit event({{"event", "volumeChanged"}, {"volume", volume}});
  });
}

QJsonObject RequestHandler::status() const {
  QJsonObject status{{"category", board.currentCategory()},
                     {"volume", board.volume()},
                     {"loop", board.loops()},
                     {"hotkeyMode", board.hotkeyMode()}};
  if (board.isPlaying()) {
    status.insert("playing", QJsonObject{{"category", board.playingCategory()},
                                         {"button", board.playingButton()},
                                         {"title", board.playingTitle()},
                                         {"duration", board.playingDuration()},
                                         {"position", board.playingPosition()}});
  } else {
    status.insert("playing", QJsonValue::Null);
  }
  return status;
}

QJsonArray RequestHandler::sounds(int category) const {
  QJsonArray list;
  for (const Board::Sound& sound : board.sounds(category)) {
    list.append(QJsonObject{{"button", sound.button},
                            {"title", sound.title},
                            {"hotkey", sound.hotkey},
                            {"file", QString::fromStdString(sound.musicSrc)},
                            {"fileMissing", sound.fileMissing}});
  }
  return list;
}

QJsonObject RequestHandler::snapshot() const {
  QJsonObject message = status();
  message.insert("event", "state");
  message.insert("sounds", sounds(0));
  return message;
}

QJsonObject RequestHandler::handle(const QJsonObject& request, Surface surface) {
  QJsonObject reply;
  const QJsonValue opValue = request.value("op");
  const QString op = opValue.toString();
  QString reason;
  if (!opValue.isString()) {
    reply = errorReply(kBadArgument,
                       "op is missing: a request names its operation, "
                       "e.g. {\"op\": \"play\", \"button\": 1}");
  } else if (op == "play") {
    std::optional<int> category = 0;
    if (request.contains("category")) {
      category = wholeNumber(request, "category", 1, kCategoryCount, &reply);
    }
    const std::optional<int> button =
        category ? wholeNumber(request, "button", 1, kButtonCount, &reply) : std::nullopt;
    if (category && button) {
      reply = board.play(*category, *button, &reason) ? okReply() : errorReply(kFailed, reason);
    }
  } else if (op == "stop") {
    board.stop();
    reply = okReply();
  } else if (op == "category") {
    if (const auto category = wholeNumber(request, "category", 1, kCategoryCount, &reply)) {
      reply = board.setCategory(*category, &reason) ? okReply() : errorReply(kFailed, reason);
    }
  } else if (op == "volume") {
    if (const auto volume = wholeNumber(request, "volume", 0, 100, &reply)) {
      reply = board.setVolume(*volume, &reason) ? okReply() : errorReply(kFailed, reason);
    }
  } else if (op == "status") {
    reply = status();
    reply.insert("ok", true);
  } else if (op == "sounds" || op == "list") {
    std::optional<int> category = 0;
    if (request.contains("category")) {
      category = wholeNumber(request, "category", 1, kCategoryCount, &reply);
    }
    if (category) {
      reply = okReply();
      reply.insert("category", *category == 0 ? board.currentCategory() : *category);
      reply.insert("sounds", sounds(*category));
    }
  } else if (op == "activate" && surface == Surface::ControlSocket) {
    emit activateRequested();
    reply = okReply();
  } else {
    reply = errorReply(kUnknownOp, "unknown op \"" + op.left(64) +
                                       "\"; known: play, stop, category, volume, status, sounds");
  }
  if (request.contains("id")) reply.insert("id", request.value("id"));
  return reply;
}
