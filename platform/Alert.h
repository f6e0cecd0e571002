// Alert: a modal message box with a heading, a smaller text below it, an icon and up
// to a few buttons, the first being the default. runModal returns which button closed
// it: FirstButtonReturn for the first button added, one more for each following one.
// Escape and the window's close button answer as the last button does; Cancelled is
// returned only when the box closed without any button. The real box is a QMessageBox; tests
// install a responder that answers in the person's place and can check what the box showed.
//
// Each caller creates its own alert and drops it when done.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;

class Alert {
 public:
  enum class Style { Warning, Informational, Critical };
  enum class Icon { None, Caution };

  static constexpr int FirstButtonReturn = 1000;
  static constexpr int SecondButtonReturn = 1001;
  static constexpr int Cancelled = 0;

  void setMessageText(std::string text) { _messageText = std::move(text); }
  void setInformativeText(std::string text) { _informativeText = std::move(text); }
  void setIcon(Icon icon) { _icon = icon; }
  void setAlertStyle(Style style) { _style = style; }
  void addButtonWithTitle(std::string title) { _buttons.push_back(std::move(title)); }

  const std::string& messageText() const { return _messageText; }
  const std::string& informativeText() const { return _informativeText; }
  Icon icon() const { return _icon; }
  Style alertStyle() const { return _style; }
  const std::vector<std::string>& buttons() const { return _buttons; }

  // Shows the box application-modal over `parent` and returns when it closes.
  int runModal(QWidget* parent = nullptr);

  // Tests: answers every later runModal in the person's place with what the responder
  // returns; nullptr restores the real box.
  using Responder = std::function<int(const Alert& alert)>;
  static void setResponderForTesting(Responder responder);

 private:
  std::string _messageText;
  std::string _informativeText;
  Icon _icon = Icon::None;
  Style _style = Style::Warning;
  std::vector<std::string> _buttons;
};
