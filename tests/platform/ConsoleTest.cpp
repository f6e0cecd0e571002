#include "platform/Console.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

class ConsoleTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;

  // Runs `print` with standard output sent to a file and returns what was written.
  template <typename Print>
  QByteArray capturedStandardOutput(Print print) {
    const QString file = dir->filePath("stdout.txt");
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int target = ::open(file.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (saved < 0 || target < 0 || ::dup2(target, STDOUT_FILENO) < 0) {
      return "<redirect failed>";
    }
    ::close(target);
    print();
    // No fflush here: each line must already have reached the file by itself.
    QFile out(file);
    const QByteArray written = out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray("<unreadable>");
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return written;
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
  }
  void cleanup() { setConsoleSinkForTesting(nullptr); }

  void eachPrintIsOneFlushedLine() {
    const QByteArray written = capturedStandardOutput([] {
      consolePrint("数据库不存在：/home/u/.local/share/cueboard/data.sqlite");
      consolePrint("");
      consolePrint("bundleDbPath = /usr/share/cueboard/data.sqlite");
    });
    QCOMPARE(written, QByteArray("数据库不存在：/home/u/.local/share/cueboard/data.sqlite\n"
                                 "\n"
                                 "bundleDbPath = /usr/share/cueboard/data.sqlite\n"));
  }

  void sinkTakesTheLinesUntilRemoved() {
    std::vector<std::string> lines;
    setConsoleSinkForTesting([&lines](const std::string& line) { lines.push_back(line); });
    const QByteArray whileSunk = capturedStandardOutput([] { consolePrint("播放出问题了: not audio"); });
    QCOMPARE(whileSunk, QByteArray());
    QCOMPARE(lines, std::vector<std::string>{"播放出问题了: not audio"});

    setConsoleSinkForTesting(nullptr);
    QCOMPARE(capturedStandardOutput([] { consolePrint("back"); }), QByteArray("back\n"));
    QCOMPARE(lines.size(), std::size_t{1});
  }

  void linesFromSeveralThreadsStayWhole() {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    const QByteArray written = capturedStandardOutput([] {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
          for (int i = 0; i < kLines; ++i) {
            consolePrint("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(100, 'x'));
          }
        });
      }
      for (auto& thread : threads) {
        thread.join();
      }
    });
    const QList<QByteArray> lines = written.split('\n');
    QCOMPARE(lines.size(), kThreads * kLines + 1);  // the last newline leaves an empty tail
    QVERIFY(lines.last().isEmpty());
    std::vector<int> next(kThreads, 0);
    for (int i = 0; i < lines.size() - 1; ++i) {
      const QList<QByteArray> words = lines[i].split(' ');
      QCOMPARE(words.size(), 5);
      const int t = words[1].toInt();
      QVERIFY(t >= 0 && t < kThreads);
      QCOMPARE(words[3].toInt(), next[t]++);  // each thread's lines whole and in order
      QCOMPARE(words[4], QByteArray(100, 'x'));
    }
  }
};

QTEST_GUILESS_MAIN(ConsoleTest)
#include "ConsoleTest.moc"
