#include "platform/OpenPanel.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

#include "platform/UserDefaults.h"

namespace {

OpenPanel::Responder& responder() {
  static OpenPanel::Responder installed;
  return installed;
}

constexpr const char* kLastOpenFolderKey = "lastOpenFolder";

// "*.mp3 *.MP3 ...": the dialog's filter is case-sensitive on Linux.
QString filterFor(const std::vector<std::string>& types) {
  QStringList patterns;
  for (const std::string& type : types) {
    const QString ext = QString::fromStdString(type);
    patterns << "*." + ext.toLower() << "*." + ext.toUpper();
  }
  patterns.removeDuplicates();
  if (patterns.isEmpty()) return QString();
  return QString::fromStdString(types.size() == 1 ? types.front() : std::string("音频文件")) +
         " (" + patterns.join(' ') + ")";
}

}  // namespace

const std::vector<std::string>& OpenPanel::soundFileTypes() {
  static const std::vector<std::string> types{"mp3", "wav", "flac", "ogg", "opus", "aiff", "aif"};
  return types;
}

OpenPanel OpenPanel::soundPanel(std::string title, bool multiple) {
  OpenPanel panel;
  panel.setTitle(std::move(title));
  panel.setAllowedFileTypes(soundFileTypes());
  panel.setAllowsMultipleSelection(multiple);
  panel.setCanChooseDirectories(false);
  panel.setCanCreateDirectories(true);
  panel.setCanChooseFiles(true);
  return panel;
}

void OpenPanel::setResponderForTesting(Responder installed) { responder() = std::move(installed); }

std::string OpenPanel::nameFilter() const { return filterFor(_allowedFileTypes).toStdString(); }

int OpenPanel::runModal(QWidget* parent) {
  _URLs.clear();
  auto& defaults = UserDefaults::standardUserDefaults();
  const std::string last = defaults.stringForKey(kLastOpenFolderKey).value_or("");
  _directory = !last.empty() && QFileInfo(QString::fromStdString(last)).isDir() ? last : "";
  const int response = responder() ? responder()(*this) : runDialog(parent);
  if (response == ModalResponseOK && !_URLs.empty()) {
    const QString folder = QFileInfo(QString::fromStdString(_URLs.front())).absolutePath();
    defaults.setObjectForKey(folder, kLastOpenFolderKey);
  }
  return response;
}

int OpenPanel::runDialog(QWidget* parent) {
  QFileDialog dialog(parent, QString::fromStdString(_title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!_directory.empty()) dialog.setDirectory(QString::fromStdString(_directory));
  if (_canChooseFiles) {
    dialog.setFileMode(_allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                : QFileDialog::ExistingFile);
  } else {
    dialog.setFileMode(QFileDialog::Directory);
  }
  QFileDialog::Options options;
  if (!_canCreateDirectories) options |= QFileDialog::ReadOnly;
  dialog.setOptions(options);
  const QString filter = filterFor(_allowedFileTypes);
  if (!filter.isEmpty()) dialog.setNameFilter(filter);
  dialog.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  if (dialog.exec() != QDialog::Accepted) return ModalResponseCancel;
  for (const QString& file : dialog.selectedFiles()) _URLs.push_back(file.toStdString());
  return _URLs.empty() ? ModalResponseCancel : ModalResponseOK;
}

std::string lastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string pathExtension(const std::string& path) {
  const std::string name = lastPathComponent(path);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string();
  return name.substr(dot + 1);
}

std::string titleForSoundFile(const std::string& path) {
  std::string title = lastPathComponent(path);
  const std::string ext = pathExtension(path);
  if (ext.empty()) return title;
  const std::string dotted = "." + ext;
  for (std::size_t at = title.find(dotted); at != std::string::npos; at = title.find(dotted, at)) {
    title.erase(at, dotted.size());
  }
  return title;
}
