#pragma once
// CommandLine: what `cueboard` was asked to do. Without a command it is the board
// (perhaps started in the tray); with one (play, stop, category, volume, list, status)
// it is a client that sends the command to the running board, prints the answer and
// ends with an exit code: 0 done, 1 the board is not running, 2 bad arguments, 3 the
// board could not do it.
//
// Thread-safety: parse() is reentrant; so is run(), which needs no QCoreApplication.

#include <QJsonObject>
#include <QString>
#include <QStringList>

class QTextStream;

struct CommandLine {
  enum class Kind { Board, Help, Version, Command, BadArguments };
  enum ExitCode { kDone = 0, kNotRunning = 1, kBadArguments = 2, kCouldNotDo = 3 };

  Kind kind = Kind::Board;
  bool minimized = false;  // Board: start hidden, in the tray
  QString verb;            // Command: play, stop, category, volume, list or status
  QJsonObject request;     // Command: what is sent to the board
  bool json = false;       // Command: print the board's reply as it came (status, list)
  QString error;           // BadArguments: what is wrong

  // `arguments` as the process got them, the program's name first.
  static CommandLine parse(const QStringList& arguments);
  static QString helpText();

  // Carries out Help, Version, Command and BadArguments, printing to `out` and `err`;
  // gives the exit code.
  int run(QTextStream& out, QTextStream& err) const;
};
