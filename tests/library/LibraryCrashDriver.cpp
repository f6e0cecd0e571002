// The program the crash test kills: a board on the library of $XDG_DATA_HOME, started as
// the program starts it, that empties one category, fills it with 40 sounds in one batch
// add and then saves the editor over and over. After each command has returned it says
// so on standard output (unbuffered), so that the test knows what was complete when it
// killed the process.
//
// Usage: library_LibraryCrashDriver RUN SOURCE_FOLDER
// (the batch takes SOURCE_FOLDER/k<RUN>-<i>.mp3, i = 1..40, into category RUN % 5 + 1).

#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <string>

#include "board/Board.h"
#include "board/ViewController.h"
#include "editor/EditMusicViewController.h"
#include "library/Caches.h"
#include "library/DBHelper.h"
#include "library/LibraryCommands.h"
#include "library/LibraryGuard.h"
#include "platform/Alert.h"
#include "platform/OpenPanel.h"

namespace {

void say(const std::string& line) {
  const std::string whole = line + "\n";
  [[maybe_unused]] auto written = ::write(STDOUT_FILENO, whole.data(), whole.size());
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  QApplication app(argc, argv);
  const int run = std::stoi(argv[1]);
  const std::string sources = argv[2];
  const int category = run % 5 + 1;

  libraryGuard().prepareLibrary();
  Board board(dbHelper().db());
  ViewController window(board);
  LibraryCommands& library = board.libraryCommands();

  // The host's hands: every category command is confirmed, the batch picks 40 files.
  Alert::setResponderForTesting([](const Alert&) { return Alert::FirstButtonReturn; });
  OpenPanel::setResponderForTesting([&](OpenPanel& panel) {
    std::vector<std::string> files;
    for (int i = 1; i <= 40; ++i) {
      files.push_back(sources + "/k" + std::to_string(run) + "-" + std::to_string(i) + ".mp3");
    }
    panel.setURLsForTesting(files);
    return OpenPanel::ModalResponseOK;
  });
  board.setCategory(category);
  say("ready");

  library.deleteClassMusic(Board::classIdForCategory(category));
  say("cleared");
  library.addMusicBatch();
  say("added");
  for (int seq = 0;; ++seq) {
    const int n = seq % 40 + 1;
    EditMusicViewController* editor = library.editMusic(100 + n);
    if (!editor) {
      say("no editor " + std::to_string(n));
      return 1;
    }
    const std::string id = editor->lblButtonId->text().toStdString();
    editor->tfTitle->setText(QString("e%1-%2").arg(run).arg(seq));
    editor->btnSave_Clicked(nullptr);
    say("edited " + id + " " + std::to_string(seq));
    editor->close();
    QCoreApplication::processEvents();
  }
}
