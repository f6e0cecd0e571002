#include "remote/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTextStream>
#include <optional>

#include "remote/ControlClient.h"
#include "remote/RemoteProtocol.h"

namespace {

CommandLine badArguments(const QString& error) {
  CommandLine line;
  line.kind = CommandLine::Kind::BadArguments;
  line.error = error;
  return line;
}

// A whole number in [low, high] written in plain decimal digits; none otherwise.
std::optional<int> numberArgument(const QString& text, int low, int high) {
  // Checked by hand: compiling a regular expression would cost a command more time
  // than the rest of its parsing.
  if (text.isEmpty() || text.size() > 9) return std::nullopt;
  for (const QChar c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
  }
  const int number = text.toInt();
  if (number < low || number > high) return std::nullopt;
  return number;
}

QString rangeError(const char* what, const QString& given, int low, int high) {
  return QString("%1 must be a whole number from %2 to %3, not \"%4\"")
      .arg(what)
      .arg(low)
      .arg(high)
      .arg(given);
}

// One line of `list`: tabs and line breaks inside a title would break the columns.
QString oneLine(QString text) {
  static const QRegularExpression breaks("[\\t\\r\\n]+");
  return text.replace(breaks, " ");
}

QString hotkeyModeName(int mode) {
  switch (mode) {
    case 1:
      return "built-in";
    case 2:
      return "custom";
    default:
      return "none";
  }
}

void printStatus(const QJsonObject& reply, QTextStream& out) {
  out << "category: " << reply.value("category").toInt() << '\n';
  const QJsonObject playing = reply.value("playing").toObject();
  if (playing.isEmpty()) {
    out << "playing: nothing\n";
  } else {
    out << "playing: " << playing.value("category").toInt() << ' '
        << playing.value("button").toInt() << ' ' << oneLine(playing.value("title").toString())
        << QString(" (%1 s of %2 s)")
               .arg(playing.value("position").toDouble(), 0, 'f', 1)
               .arg(playing.value("duration").toDouble(), 0, 'f', 1)
        << '\n';
  }
  out << "volume: " << reply.value("volume").toInt() << '\n';
  out << "loop: " << (reply.value("loop").toBool() ? "on" : "off") << '\n';
  out << "hotkeys: " << hotkeyModeName(reply.value("hotkeyMode").toInt()) << '\n';
}

}  // namespace

QString CommandLine::helpText() {
  return QStringLiteral(
      "Usage: cueboard [--minimized]\n"
      "       cueboard <command> [arguments]\n"
      "\n"
      "Without a command, starts the sound board, or brings the running board's window\n"
      "to the front. With one, sends the command to the running board.\n"
      "\n"
      "Commands:\n"
      "  play [C] N       play button N (1-40) of category C (1-5; default: the one shown);\n"
      "                   the button that is playing stops, as a click does\n"
      "  stop             stop whatever plays\n"
      "  category C       show category C (1-5)\n"
      "  volume V         set the volume to V (0-100)\n"
      "  list [C]         the buttons of category C that hold a sound: button, title,\n"
      "                   hotkey, one line each (--json: as JSON)\n"
      "  status [--json]  what plays, the category shown, volume, loop and hotkey mode\n"
      "\n"
      "Options:\n"
      "  --minimized      start the board hidden in the system tray\n"
      "  --json           print the board's answer as JSON (status, list)\n"
      "  -h, --help       show this help\n"
      "  -v, --version    show the version\n"
      "\n"
      "Exit status: 0 done, 1 Cueboard is not running, 2 bad arguments,\n"
      "3 the board could not do it (an empty button, a missing file).\n");
}

CommandLine CommandLine::parse(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({"h", "help"}, "Show this help.");
  const QCommandLineOption version({"v", "version"}, "Show the version.");
  const QCommandLineOption minimized("minimized", "Start hidden in the system tray.");
  const QCommandLineOption json("json", "Print the answer as JSON.");
  parser.addOptions({help, version, minimized, json});
  if (!parser.parse(arguments)) return badArguments(parser.errorText());

  CommandLine line;
  if (parser.isSet(help)) {
    line.kind = Kind::Help;
    return line;
  }
  if (parser.isSet(version)) {
    line.kind = Kind::Version;
    return line;
  }
  const QStringList words = parser.positionalArguments();
  if (words.isEmpty()) {
    if (parser.isSet(json)) return badArguments("--json goes with a command (status or list)");
    line.minimized = parser.isSet(minimized);
    return line;
  }
  if (parser.isSet(minimized))
    return badArguments("--minimized starts the board; it does not go with a command");

  line.kind = Kind::Command;
  line.verb = words.first();
  line.json = parser.isSet(json);
  const QStringList rest = words.mid(1);
  auto tooMany = [&](qsizetype most) {
    return rest.size() > most ? std::optional<QString>("too many arguments for \"" + line.verb +
                                                       "\"; see cueboard --help")
                              : std::nullopt;
  };
  if (line.json && line.verb != "status" && line.verb != "list")
    return badArguments("--json goes with status or list, not with \"" + line.verb + "\"");

  if (line.verb == "play") {
    if (rest.isEmpty()) return badArguments("play needs a button number: cueboard play [C] N");
    if (auto error = tooMany(2)) return badArguments(*error);
    line.request.insert("op", "play");
    if (rest.size() == 2) {
      const auto category = numberArgument(rest[0], 1, remote::kCategoryCount);
      if (!category)
        return badArguments(rangeError("category", rest[0], 1, remote::kCategoryCount));
      line.request.insert("category", *category);
    }
    const auto button = numberArgument(rest.last(), 1, remote::kButtonCount);
    if (!button) return badArguments(rangeError("button", rest.last(), 1, remote::kButtonCount));
    line.request.insert("button", *button);
  } else if (line.verb == "stop" || line.verb == "status") {
    if (auto error = tooMany(0)) return badArguments(*error);
    line.request.insert("op", line.verb);
  } else if (line.verb == "category" || line.verb == "volume") {
    const bool isCategory = line.verb == "category";
    const int high = isCategory ? remote::kCategoryCount : 100;
    const int low = isCategory ? 1 : 0;
    if (rest.isEmpty())
      return badArguments(line.verb + " needs a number from " + QString::number(low) + " to " +
                          QString::number(high));
    if (auto error = tooMany(1)) return badArguments(*error);
    const auto number = numberArgument(rest[0], low, high);
    if (!number)
      return badArguments(rangeError(isCategory ? "category" : "volume", rest[0], low, high));
    line.request.insert("op", line.verb);
    line.request.insert(line.verb, *number);
  } else if (line.verb == "list") {
    if (auto error = tooMany(1)) return badArguments(*error);
    line.request.insert("op", "sounds");
    if (rest.size() == 1) {
      const auto category = numberArgument(rest[0], 1, remote::kCategoryCount);
      if (!category)
        return badArguments(rangeError("category", rest[0], 1, remote::kCategoryCount));
      line.request.insert("category", *category);
    }
  } else {
    return badArguments("unknown command \"" + line.verb + "\"; see cueboard --help");
  }
  return line;
}

int CommandLine::run(QTextStream& out, QTextStream& err) const {
  switch (kind) {
    case Kind::Help:
      out << helpText();
      return kDone;
    case Kind::Version:
      out << "cueboard " << QCoreApplication::applicationVersion() << '\n';
      return kDone;
    case Kind::BadArguments:
      err << "cueboard: " << error << '\n';
      return kBadArguments;
    case Kind::Board:
      return kDone;
    case Kind::Command:
      break;
  }
  const ControlReply answer = sendControlRequest(request);
  if (answer.status == ControlReply::Status::NotRunning) {
    err << "Cueboard is not running\n";
    return kNotRunning;
  }
  if (answer.status == ControlReply::Status::Failed) {
    err << "cueboard: " << answer.why << '\n';
    return kCouldNotDo;
  }
  const QJsonObject& reply = answer.reply;
  if (remote::isError(reply)) {
    err << "cueboard: " << remote::errorMessage(reply) << '\n';
    const QString code = remote::errorCode(reply);
    return code == remote::kBadArgument || code == remote::kUnknownOp ? kBadArguments : kCouldNotDo;
  }
  if (verb == "status") {
    if (json) {
      QJsonObject status = reply;
      status.remove("ok");
      out << QJsonDocument(status).toJson(QJsonDocument::Compact) << '\n';
    } else {
      printStatus(reply, out);
    }
  } else if (verb == "list") {
    const QJsonArray sounds = reply.value("sounds").toArray();
    if (json) {
      out << QJsonDocument(sounds).toJson(QJsonDocument::Compact) << '\n';
    } else {
      for (const QJsonValue& value : sounds) {
        const QJsonObject sound = value.toObject();
        out << sound.value("button").toInt() << '\t' << oneLine(sound.value("title").toString())
            << '\t' << oneLine(sound.value("hotkey").toString()) << '\n';
      }
    }
  }
  return kDone;
}
