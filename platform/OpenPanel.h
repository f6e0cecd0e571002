// OpenPanel: the modal file picker the library commands and the editor use to let the
// host choose sound files. Configure it, run it, then read the chosen paths. The real
// panel is a QFileDialog; tests install a responder that answers in the person's place
// (and can check how the panel was set up), since choosing a file is the one step
// that needs a hand.
//
// Each command creates its own panel and drops it when done.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;

class OpenPanel {
 public:
  // What runModal returns when the host confirmed the panel; anything else is a cancel.
  static constexpr int ModalResponseOK = 1;
  static constexpr int ModalResponseCancel = 0;

  // The extensions of the sound files the board plays (each file is still judged by
  // its content when it is played).
  static const std::vector<std::string>& soundFileTypes();
  // A panel for choosing sound files (one, or several when `multiple`), no folders.
  static OpenPanel soundPanel(std::string title, bool multiple);

  void setTitle(std::string title) { _title = std::move(title); }
  // Extensions without the dot ("mp3"), matched without regard to case.
  void setAllowedFileTypes(std::vector<std::string> types) { _allowedFileTypes = std::move(types); }
  void setAllowsMultipleSelection(bool allows) { _allowsMultipleSelection = allows; }
  void setCanChooseDirectories(bool can) { _canChooseDirectories = can; }
  void setCanCreateDirectories(bool can) { _canCreateDirectories = can; }
  void setCanChooseFiles(bool can) { _canChooseFiles = can; }

  const std::string& title() const { return _title; }
  const std::vector<std::string>& allowedFileTypes() const { return _allowedFileTypes; }
  bool allowsMultipleSelection() const { return _allowsMultipleSelection; }
  bool canChooseDirectories() const { return _canChooseDirectories; }
  bool canCreateDirectories() const { return _canCreateDirectories; }
  bool canChooseFiles() const { return _canChooseFiles; }

  // The dialog's filter: "音频文件 (*.mp3 *.MP3 ...)" over every allowed type (the one
  // type's name when there is only one), "" for none.
  std::string nameFilter() const;
  // The folder the panel opens in: the one a file was last chosen from
  // ("lastOpenFolder" in the settings) while it exists, else "" (the dialog's own).
  const std::string& directory() const { return _directory; }

  // Shows the panel over `parent` (application-modal when none) and returns when it
  // closes: ModalResponseOK when the host chose at least one file, whose folder is
  // then remembered as the one to open in next time.
  int runModal(QWidget* parent = nullptr);

  // The chosen files' absolute paths, in the order the panel gave them.
  const std::vector<std::string>& URLs() const { return _URLs; }
  // The first chosen file, "" when none.
  std::string URL() const { return _URLs.empty() ? std::string() : _URLs.front(); }

  // Tests: answers every later runModal in the host's place. The responder sees the
  // configured panel, may fill in the chosen paths with setURLsForTesting, and returns
  // the modal response. nullptr restores the real dialog.
  using Responder = std::function<int(OpenPanel& panel)>;
  static void setResponderForTesting(Responder responder);
  void setURLsForTesting(std::vector<std::string> paths) { _URLs = std::move(paths); }

 private:
  int runDialog(QWidget* parent);

  std::string _title;
  std::vector<std::string> _allowedFileTypes;
  bool _allowsMultipleSelection = false;
  bool _canChooseDirectories = false;
  bool _canCreateDirectories = true;
  bool _canChooseFiles = true;
  std::vector<std::string> _URLs;
  std::string _directory;
};

// The last component of a path ("/a/b.mp3" gives "b.mp3").
std::string lastPathComponent(const std::string& path);
// The extension of a path's last component without the dot ("b.mp3" gives "mp3"), ""
// when it has none (a leading dot, as in ".mp3", starts a name, not an extension).
std::string pathExtension(const std::string& path);
// The title a chosen sound file is given: its name with every "." + extension taken
// out, not only the last ("a.mp3.b.mp3" gives "a.b"); the whole name when it has no
// extension.
std::string titleForSoundFile(const std::string& path);
