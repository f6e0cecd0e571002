#include "platform/FileManager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <filesystem>

class FileManagerTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;
  FileManager& files = FileManager::defaultManager();

  QString path(const QString& relative) const { return dir->filePath(relative); }
  static std::string s(const QString& text) { return text.toStdString(); }

  static bool write(const QString& file, const QByteArray& content) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(content) == content.size();
  }
  static QByteArray read(const QString& file) {
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<unreadable>");
  }
  // Every entry below `root`, relative, with file contents: a folder's whole state.
  static QStringList snapshot(const QString& root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString entry = it.next();
      const auto status = std::filesystem::symlink_status(entry.toStdString());
      QString state = "?";  // pipes and the like, which must never be opened here
      if (std::filesystem::is_directory(status)) {
        state = "/";
      } else if (std::filesystem::is_regular_file(status)) {
        state = "=" + QString::fromUtf8(read(entry));
      } else if (std::filesystem::is_symlink(status)) {
        state = "@" + QFileInfo(entry).symLinkTarget();
      }
      entries << QDir(root).relativeFilePath(entry) + state;
    }
    entries.sort();
    return entries;
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
  }

  void existence_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("exists");
    QTest::newRow("file") << "file.mp3" << true;
    QTest::newRow("folder") << "folder" << true;
    QTest::newRow("link to a file") << "link" << true;
    QTest::newRow("dangling link") << "dangling" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("empty path") << "" << false;
  }

  void existence() {
    QFETCH(QString, relative);
    QFETCH(bool, exists);
    QVERIFY(write(path("file.mp3"), "x"));
    QVERIFY(QDir().mkpath(path("folder")));
    QVERIFY(QFile::link(path("file.mp3"), path("link")));
    QVERIFY(QFile::link(path("gone"), path("dangling")));
    QCOMPARE(files.fileExistsAtPath(relative.isEmpty() ? std::string() : s(path(relative))), exists);
  }

  void createsFolders() {
    std::string error;
    QVERIFY(files.createDirectoryAtPathWithIntermediateDirectories(s(path("a/b/c")), true, &error));
    QVERIFY(QFileInfo(path("a/b/c")).isDir());
    QVERIFY(error.empty());
    // An existing folder is fine when parents may be made too.
    QVERIFY(files.createDirectoryAtPathWithIntermediateDirectories(s(path("a/b/c")), true, &error));
    QVERIFY(files.createDirectoryAtPathWithIntermediateDirectories(s(path("a/d")), false, &error));
    QVERIFY(QFileInfo(path("a/d")).isDir());
  }

  void folderCreationFailures_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("intermediate");
    QTest::newRow("missing parent without intermediate") << "x/y" << false;
    QTest::newRow("existing folder without intermediate") << "existing" << false;
    QTest::newRow("a file is in the way") << "file" << true;
    QTest::newRow("a file is in the way of a parent") << "file/sub" << true;
  }

  void folderCreationFailures() {
    QFETCH(QString, relative);
    QFETCH(bool, intermediate);
    QVERIFY(QDir().mkpath(path("existing")));
    QVERIFY(write(path("file"), "x"));
    std::string error;
    QVERIFY(!files.createDirectoryAtPathWithIntermediateDirectories(s(path(relative)), intermediate, &error));
    QVERIFY2(error.find(s(path(relative))) != std::string::npos, error.c_str());
    QVERIFY(!files.createDirectoryAtPathWithIntermediateDirectories(s(path(relative)), intermediate, nullptr));
    QCOMPARE(read(path("file")), QByteArray("x"));
  }

  void copiesAFile() {
    QVERIFY(write(path("src/applause.mp3"), "ID3 applause"));
    std::string error;
    QVERIFY(files.copyItemAtPathToPath(s(path("src/applause.mp3")), s(path("applause.mp3")), &error));
    QCOMPARE(read(path("applause.mp3")), QByteArray("ID3 applause"));
    QCOMPARE(snapshot(dir->path()), QStringList({"applause.mp3=ID3 applause", "src/", "src/applause.mp3=ID3 applause"}));
  }

  void copiesAFolderWithEverythingInIt() {
    QVERIFY(write(path("seed/sound/a.mp3"), "a"));
    QVERIFY(write(path("seed/sound/掌声.mp3"), "applause"));
    QVERIFY(write(path("seed/sound/more/b.mp3"), "b"));
    QVERIFY(write(path("seed/sound/more/deeper/c.mp3"), "c"));
    QVERIFY(write(path("seed/sound/.hidden"), "h"));
    QVERIFY(QDir().mkpath(path("seed/sound/empty")));
    QVERIFY(QDir().mkpath(path("user")));
    std::string error;
    // The sound folder is named with its trailing slash where it is copied to.
    QVERIFY2(files.copyItemAtPathToPath(s(path("seed/sound")), s(path("user/sound/")), &error), error.c_str());
    QCOMPARE(snapshot(path("user/sound")), snapshot(path("seed/sound")));
    QCOMPARE(snapshot(path("user")).size(), snapshot(path("seed")).size());  // nothing left beside it
  }

  // The seed library may be installed read-only; the user's copy must stay theirs.
  void copiesOfReadOnlyItemsAreWritable() {
    QVERIFY(write(path("seed/sound/a.mp3"), "a"));
    QVERIFY(QFile::setPermissions(path("seed/sound/a.mp3"), QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(QFile::setPermissions(path("seed/sound"), QFile::ReadOwner | QFile::ExeOwner));
    std::string error;
    const bool copied = files.copyItemAtPathToPath(s(path("seed/sound")), s(path("sound")), &error);
    QFile::setPermissions(path("seed/sound"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY2(copied, error.c_str());
    QVERIFY(QFileInfo(path("sound")).permission(QFile::WriteOwner));
    QVERIFY(QFileInfo(path("sound/a.mp3")).permission(QFile::WriteOwner));
    QVERIFY(write(path("sound/new.mp3"), "n"));
  }

  // Whatever fails, the destination is as it was and nothing half-made is left behind.
  void copyFailuresChangeNothing_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("file onto an existing file") << "seed/sound/a.mp3" << "user/existing.mp3";
    QTest::newRow("folder onto an existing folder") << "seed/sound" << "user/sound";
    QTest::newRow("folder onto an existing file") << "seed/sound" << "user/existing.mp3";
    QTest::newRow("file onto a dangling link") << "seed/sound/a.mp3" << "user/dangling";
    QTest::newRow("missing source") << "seed/missing.mp3" << "user/missing.mp3";
    QTest::newRow("missing destination folder") << "seed/sound" << "user/nowhere/sound";
    QTest::newRow("folder into itself") << "seed/sound" << "seed/sound/more/sound";
    QTest::newRow("folder holding a pipe") << "seed/piped" << "user/piped";
  }

  void copyFailuresChangeNothing() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    QVERIFY(write(path("seed/sound/a.mp3"), "a"));
    QVERIFY(write(path("seed/sound/more/b.mp3"), "b"));
    QVERIFY(write(path("seed/piped/a.mp3"), "a"));
    QVERIFY(write(path("seed/piped/z.mp3"), "z"));
    QCOMPARE(::mkfifo(s(path("seed/piped/m-pipe")).c_str(), 0600), 0);
    QVERIFY(write(path("user/existing.mp3"), "mine"));
    QVERIFY(write(path("user/sound/mine.mp3"), "mine"));
    QVERIFY(QFile::link(path("user/gone"), path("user/dangling")));
    const QStringList before = snapshot(dir->path());

    std::string error;
    QVERIFY(!files.copyItemAtPathToPath(s(path(from)), s(path(to)), &error));
    QVERIFY2(error.find(s(path(to))) != std::string::npos, error.c_str());
    QCOMPARE(snapshot(dir->path()), before);
    QVERIFY(!files.copyItemAtPathToPath(s(path(from)), s(path(to)), nullptr));
  }

  // What a copy killed half-way leaves (a file or a folder under its temporary name) goes
  // at the next start; the user's own files, dotted or not, stay.
  void leftoversOfInterruptedCopiesAreRemoved() {
    QVERIFY(write(path("sound/.clap.mp3.partial-4242-0"), "half"));
    QVERIFY(write(path("sound/.sound.partial-17-3/a.mp3"), "half"));
    QVERIFY(write(path("sound/clap.mp3"), "whole"));
    QVERIFY(write(path("sound/.hidden.mp3"), "mine"));
    QVERIFY(write(path("sound/.x.partial-12"), "mine"));
    QVERIFY(write(path("sound/clap.mp3.partial-1-2"), "mine"));
    QVERIFY(write(path("sound/nested/.b.mp3.partial-1-2"), "deeper"));
    QCOMPARE(files.removePartialCopiesInFolder(s(path("sound"))), 2);
    QCOMPARE(snapshot(path("sound")),
             (QStringList{".hidden.mp3=mine", ".x.partial-12=mine", "clap.mp3.partial-1-2=mine",
                          "clap.mp3=whole", "nested/", "nested/.b.mp3.partial-1-2=deeper"}));
    QCOMPARE(files.removePartialCopiesInFolder(s(path("missing"))), 0);
  }

  // A finished copy never keeps its temporary name.
  void aFinishedCopyLeavesNoTemporary() {
    QVERIFY(write(path("seed/a.mp3"), "a"));
    QVERIFY(QDir().mkpath(path("user")));
    QVERIFY(files.copyItemAtPathToPath(s(path("seed/a.mp3")), s(path("user/a.mp3")), nullptr));
    QCOMPARE(snapshot(path("user")), QStringList{"a.mp3=a"});
  }
};

QTEST_GUILESS_MAIN(FileManagerTest)
#include "FileManagerTest.moc"
