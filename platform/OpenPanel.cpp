#include "platform/OpenPanel.h"

#include <QFileDialog>
#include <QStringList>

namespace {

OpenPanel::Responder& responder() {
  static OpenPanel::Responder installed;
  return installed;
}

// "*.mp3 *.MP3 ...": the dialog's filter is case-sensitive on Linux.
QString nameFilter(const std::vector<std::string>& types) {
  QStringList patterns;
  for (const std::string& type : types) {
    const QString ext = QString::fromStdString(type);
    patterns << "*." + ext.toLower() << "*." + ext.toUpper();
  }
  patterns.removeDuplicates();
  if (patterns.isEmpty()) return QString();
  return QString::fromStdString(types.size() == 1 ? types.front() : std::string("sound")) + " (" +
         patterns.join(' ') + ")";
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

int OpenPanel::runModal(QWidget* parent) {
  _URLs.clear();
  if (responder()) return responder()(*this);

  QFileDialog dialog(parent, QString::fromStdString(_title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (_canChooseFiles) {
    dialog.setFileMode(_allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                : QFileDialog::ExistingFile);
  } else {
    dialog.setFileMode(QFileDialog::Directory);
  }
  QFileDialog::Options options;
  if (!_canCreateDirectories) options |= QFileDialog::ReadOnly;
  dialog.setOptions(options);
  const QString filter = nameFilter(_allowedFileTypes);
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
