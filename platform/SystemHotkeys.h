// SystemHotkeys: keys that reach the program while another program has the focus.
// The caller names each key ("A", "Num 1", "Space") with its position (a US ANSI
// virtual key code, see KeyCodes.h) and chooses the modifiers held with it; this
// class takes the keys from the desktop and reports each press by the key's name.
//
// Under X11 (XWayland included) the keys are grabbed on the root window through Qt's
// own xcb connection, by their physical keycode, so any keyboard layout works, and
// also with Caps Lock and Num Lock on. A key that another program already holds is
// left to it and listed in refusedKeys(). While one of the program's own windows has
// the focus, its keys go to that window through Qt as always (the board's own key
// handling, the editor's hotkey field) and are never reported here as well. Without
// X11 the desktop's GlobalShortcuts portal is used over D-Bus; with neither,
// isAvailable() is false and unavailableReason() says why in one line. Auto-repeat
// is ignored: holding a key reports one press.
//
// Ownership: owned by its creator; destroying it releases every key it holds.
// Thread-safety: main thread only (presses are reported from the event loop).
#pragma once

#include <QFlags>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

class SystemHotkeys : public QObject {
  Q_OBJECT

 public:
  enum Modifier { NoModifier = 0, Control = 1, Alt = 2, Shift = 4, Super = 8 };
  Q_DECLARE_FLAGS(Modifiers, Modifier)

  struct Key {
    QString name;            // what pressed() reports
    std::uint16_t position;  // virtual key code of the key's place
  };

  // Picks what the desktop offers: X11, then the portal.
  explicit SystemHotkeys(QObject* parent = nullptr);
  ~SystemHotkeys() override;

  bool isAvailable() const;
  QString unavailableReason() const;

  // Holds exactly these keys, each with the modifiers, from now on; keys held before
  // and not listed are released.
  void grab(const std::vector<Key>& keys, Modifiers modifiers);
  void release();
  // Names of the keys of the last grab() that another program holds.
  QStringList refusedKeys() const;

  // The one-line reason used when neither X11 nor the portal is there.
  static QString noSystemHotkeysReason();

  class Backend;

 signals:
  void pressed(const QString& name);
  // refusedKeys() changed after grab() returned (the portal answers later).
  void refusedKeysChanged();

 private:
  std::unique_ptr<Backend> backend;
  QString reason;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SystemHotkeys::Modifiers)
