// ChoicePanel: a modal list from which the host picks one entry (a backup to restore,
// say). Configure it, run it, read the choice. The real panel is a small dialog with a
// list; tests install a responder that answers in the host's place.
//
// Each caller creates its own panel and drops it when done.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;

class ChoicePanel {
 public:
  void setTitle(std::string title) { _title = std::move(title); }
  void setMessage(std::string message) { _message = std::move(message); }
  void setItems(std::vector<std::string> items) { _items = std::move(items); }
  void setChooseButtonTitle(std::string title) { _chooseTitle = std::move(title); }

  const std::string& title() const { return _title; }
  const std::string& message() const { return _message; }
  const std::vector<std::string>& items() const { return _items; }

  // Shows the list over `parent` and returns the index of the entry chosen, or -1 when
  // the host cancelled (or there was nothing to choose).
  int runModal(QWidget* parent = nullptr);

  // Tests: answers every later runModal with what the responder returns; nullptr
  // restores the real dialog.
  using Responder = std::function<int(const ChoicePanel& panel)>;
  static void setResponderForTesting(Responder responder);

 private:
  std::string _title;
  std::string _message;
  std::string _chooseTitle = "确定";
  std::vector<std::string> _items;
};
