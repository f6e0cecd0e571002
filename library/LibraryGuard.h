// LibraryGuard: keeps the host's library from being lost. At start-up, before the
// board opens it, it clears what an interrupted copy left, moves a damaged library
// aside (never deleting it) so that the shipped one can take its place, puts the library
// in write-ahead-log mode and finds out whether it can be written. Before each change it
// takes the day's backup; a change it knows cannot be saved is refused, and every
// refused or failed change is told to whoever shows the board (problemChanged).
//
// One per process (libraryGuard()), created on first use; tests reset it.
// Thread-safety: main thread only.
#pragma once

#include <QObject>
#include <ctime>
#include <string>

class LiteDatabase;
class QWidget;

class LibraryGuard : public QObject {
  Q_OBJECT

 public:
  enum class Health { Missing, Healthy, Damaged, Unreadable };
  struct Examination {
    Health health = Health::Missing;
    std::string reason;  // why it is damaged or unreadable
  };
  // Looks at the library file at `path` without changing it: a file that is not a
  // database, fails the engine's quick check or has no tb_Button is damaged; one that
  // cannot be opened for another reason (permissions) is only unreadable.
  static Examination examine(const std::string& path);

  // Renames the library at `path`, with its log side files, to
  // "<path>.damaged-YYYYMMDD-HHMMSS" (a further "-2", "-3", ... when that is taken):
  // nothing is overwritten. The new path, "" on failure with the reason in `error`.
  static std::string moveAside(const std::string& path, std::time_t when, std::string* error);

  struct StartupReport {
    std::string damagedPath;  // the library that was damaged ("" when none was)
    std::string damage;       // what was wrong with it
    std::string movedTo;      // where it went ("" when it could not be moved)
    std::string moveProblem;  // why it could not be moved
  };
  // Run once at start-up before the library connection is first used.
  StartupReport prepareLibrary();
  // After a damaged library was replaced by the shipped one: tells the host which file
  // it was and where it went, and offers the newest backup. True when a backup was
  // restored into `db` (the board then loads again).
  bool offerRecovery(const StartupReport& report, LiteDatabase& db, QWidget* parent);

  // Why the library cannot be written ("" when it can).
  const std::string& writeProblem() const { return unwritable; }
  // The last change that failed, "" once a change went through.
  const std::string& lastFailure() const { return failure; }

  // Called by every command before it changes the library `db`: false (and the failure
  // told) when the library cannot be written; otherwise takes the day's backup first.
  bool beforeChange(LiteDatabase& db, const std::string& what);
  // A change was refused or failed, for a reason the host must see; or went through.
  void changeFailed(const std::string& text);
  void changeSaved();

  // Finds out again whether the library and its folders can be written.
  void checkWritable();

 signals:
  // writeProblem() or lastFailure() changed.
  void problemChanged();

 private:
  std::string unwritable;
  std::string failure;
};

LibraryGuard& libraryGuard();
void resetLibraryGuardForTesting();
