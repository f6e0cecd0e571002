#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {
// When set, the program prints its main bundle's resource path and exits: the test
// copies itself into a fake installation and asks the copy.
constexpr char kPrintResourcePath[] = "CUEBOARD_BUNDLE_TEST_PRINT_RESOURCE_PATH";
}  // namespace

class BundleTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;

  // Runs a copy of this program from <root>/bin and returns what it prints.
  QString resourcePathSeenFrom(const QString& root) {
    QDir().mkpath(root + "/bin");
    const QString copy = root + "/bin/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    // A real copy, not a symbolic link: the program finds itself through /proc/self/exe.
    if (!QFile::exists(copy) && !QFile::copy(QCoreApplication::applicationFilePath(), copy)) {
      return "copy failed";
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kPrintResourcePath, "1");
    process.setProcessEnvironment(environment);
    process.start(copy, {});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
      return "run failed: " + QString::fromUtf8(process.readAllStandardError());
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
  }

  void cleanup() { Bundle::setResourcePathForTesting(std::nullopt); }

  void resourcesAreFoundByNameAndType() {
    const QString resources = dir->filePath("resources");
    QVERIFY(QDir().mkpath(resources + "/sound"));
    Bundle::setResourcePathForTesting(resources.toStdString());
    Bundle& bundle = Bundle::mainBundle();
    QCOMPARE(bundle.resourcePath(), resources.toStdString());

    QVERIFY(!bundle.pathForResourceOfType("data", "sqlite").has_value());
    QFile file(resources + "/data.sqlite");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(bundle.pathForResourceOfType("data", "sqlite"), std::optional<std::string>((resources + "/data.sqlite").toStdString()));
    QCOMPARE(bundle.pathForResourceOfType("sound", ""), std::optional<std::string>((resources + "/sound").toStdString()));
    QVERIFY(!bundle.pathForResourceOfType("data", "db").has_value());
    QVERIFY(!bundle.pathForResourceOfType("", "sqlite").has_value());
  }

  void overrideIsUndone() {
    const std::string buildTree = Bundle::mainBundle().resourcePath();
    Bundle::setResourcePathForTesting(dir->path().toStdString());
    QCOMPARE(Bundle::mainBundle().resourcePath(), dir->path().toStdString());
    Bundle::setResourcePathForTesting(std::nullopt);
    QCOMPARE(Bundle::mainBundle().resourcePath(), buildTree);
  }

  // This test program is not installed, so it sees the build tree's resources.
  void buildTreeIsTheFallback() {
    const QString path = QString::fromStdString(Bundle::mainBundle().resourcePath());
    QVERIFY2(path.endsWith("/share/cueboard"), qPrintable(path));
    QVERIFY(!path.startsWith(QCoreApplication::applicationDirPath() + "/../share"));
  }

  void installedLayoutWins() {
    const QString prefix = QDir(dir->filePath("prefix")).absolutePath();
    QVERIFY(QDir().mkpath(prefix + "/share/cueboard"));
    QCOMPARE(resourcePathSeenFrom(prefix), prefix + "/share/cueboard");
  }

  void withoutAnInstallationTheBuildTreeIsUsed() {
    const QString prefix = QDir(dir->filePath("bare")).absolutePath();
    QCOMPARE(resourcePathSeenFrom(prefix), QString::fromStdString(Bundle::mainBundle().resourcePath()));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsSet(kPrintResourcePath)) {
    std::puts(Bundle::mainBundle().resourcePath().c_str());
    return 0;
  }
  QCoreApplication app(argc, argv);
  BundleTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "BundleTest.moc"
