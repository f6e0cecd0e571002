// System-wide keys under X11: passive key grabs on every root window, made and
// checked through Qt's own xcb connection, and a native event filter that picks the
// grabbed presses out of Qt's event stream.

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/KeyCodes.h"
#include "platform/SystemHotkeysBackend.h"

namespace {

// X keycodes are the evdev codes shifted by 8.
constexpr std::uint32_t kXKeycodeOffset = 8;

constexpr xcb_keysym_t kNumLock = 0xff7f, kAltL = 0xffe9, kAltR = 0xffea, kSuperL = 0xffeb,
                       kSuperR = 0xffec;

// Which of Mod1-Mod5 carry Alt, Super and Num Lock in the server's current mapping.
struct ModifierMasks {
  std::uint16_t alt = 0;
  std::uint16_t super = 0;
  std::uint16_t numLock = 0;
};

ModifierMasks readModifierMasks(xcb_connection_t* connection) {
  ModifierMasks masks;
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const auto modifierCookie = xcb_get_modifier_mapping(connection);
  const auto keyboardCookie = xcb_get_keyboard_mapping(
      connection, setup->min_keycode,
      static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1));
  xcb_get_modifier_mapping_reply_t* modifiers =
      xcb_get_modifier_mapping_reply(connection, modifierCookie, nullptr);
  xcb_get_keyboard_mapping_reply_t* keyboard =
      xcb_get_keyboard_mapping_reply(connection, keyboardCookie, nullptr);
  if (modifiers && keyboard) {
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifiers);
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(keyboard);
    const int perModifier = modifiers->keycodes_per_modifier;
    const int perKeycode = keyboard->keysyms_per_keycode;
    // Modifier rows 3-7 are Mod1-Mod5; Shift, Lock and Control are fixed.
    for (int row = 3; row < 8; ++row) {
      const auto mask = static_cast<std::uint16_t>(1u << row);
      for (int i = 0; i < perModifier; ++i) {
        const xcb_keycode_t keycode = keycodes[row * perModifier + i];
        if (keycode < setup->min_keycode || keycode > setup->max_keycode) continue;
        const xcb_keysym_t* syms = keysyms + (keycode - setup->min_keycode) * perKeycode;
        for (int s = 0; s < perKeycode; ++s) {
          if (syms[s] == kAltL || syms[s] == kAltR) masks.alt |= mask;
          if (syms[s] == kSuperL || syms[s] == kSuperR) masks.super |= mask;
          if (syms[s] == kNumLock) masks.numLock |= mask;
        }
      }
    }
  }
  std::free(modifiers);
  std::free(keyboard);
  // The usual places, for a server that reports no mapping.
  if (!masks.alt) masks.alt = XCB_MOD_MASK_1;
  if (!masks.super) masks.super = XCB_MOD_MASK_4;
  if (!masks.numLock) masks.numLock = XCB_MOD_MASK_2;
  return masks;
}

class X11Hotkeys final : public SystemHotkeys::Backend, public QAbstractNativeEventFilter {
 public:
  X11Hotkeys(SystemHotkeys& owner, xcb_connection_t* connection)
      : owner(owner), connection(connection) {
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem;
         xcb_screen_next(&it)) {
      roots.push_back(it.data->root);
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
  }

  ~X11Hotkeys() override {
    release();
    QCoreApplication::instance()->removeNativeEventFilter(this);
  }

  void grab(const std::vector<SystemHotkeys::Key>& keys,
            SystemHotkeys::Modifiers modifiers) override {
    release();
    refused.clear();
    const ModifierMasks masks = readModifierMasks(connection);
    modifierMask = 0;
    if (modifiers & SystemHotkeys::Control) modifierMask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & SystemHotkeys::Shift) modifierMask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & SystemHotkeys::Alt) modifierMask |= masks.alt;
    if (modifiers & SystemHotkeys::Super) modifierMask |= masks.super;
    lockMask = XCB_MOD_MASK_LOCK | masks.numLock;
    // The same key with Caps Lock, Num Lock or both on is another grab.
    variants.clear();
    for (std::uint16_t locks : {std::uint16_t(0), std::uint16_t(XCB_MOD_MASK_LOCK), masks.numLock,
                                std::uint16_t(XCB_MOD_MASK_LOCK | masks.numLock)}) {
      const auto mask = static_cast<std::uint16_t>(modifierMask | locks);
      if (std::find(variants.begin(), variants.end(), mask) == variants.end())
        variants.push_back(mask);
    }

    struct Pending {
      const SystemHotkeys::Key* key;
      xcb_keycode_t keycode;
      std::vector<xcb_void_cookie_t> cookies;
    };
    std::vector<Pending> pending;
    for (const auto& key : keys) {
      const std::uint32_t evdev = evdevCodeForKeyCode(key.position);
      if (evdev == 0 || evdev + kXKeycodeOffset > 255) {
        refused << key.name;
        continue;
      }
      Pending request{&key, static_cast<xcb_keycode_t>(evdev + kXKeycodeOffset), {}};
      for (xcb_window_t root : roots) {
        for (std::uint16_t mask : variants) {
          request.cookies.push_back(xcb_grab_key_checked(connection, 1, root, mask, request.keycode,
                                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
      }
      pending.push_back(std::move(request));
    }
    // Checking waits for the server's answer to each grab; they were all sent first,
    // so that is one round trip.
    for (auto& request : pending) {
      bool held = true;
      for (const auto& cookie : request.cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
          held = false;
          std::free(error);
        }
      }
      if (held) {
        grabbed.push_back({request.key->name, request.keycode});
      } else {
        // Whatever variants we did get go back: a key works fully or not at all.
        ungrabKeycode(request.keycode);
        refused << request.key->name;
      }
    }
    xcb_flush(connection);
  }

  void release() override {
    for (const auto& key : grabbed) ungrabKeycode(key.keycode);
    grabbed.clear();
    down.clear();
    lastRelease.clear();
    xcb_flush(connection);
  }

  QStringList refusedKeys() const override { return refused; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (grabbed.empty() || eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t kind = event->response_type & 0x7f;
    if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE) return false;
    auto* keyEvent = reinterpret_cast<xcb_key_press_event_t*>(event);
    // Reported on a window of ours: Qt delivers it there.
    if (std::find(roots.begin(), roots.end(), keyEvent->event) == roots.end()) return false;
    // Reported on the root window while one of our windows has the focus: the server
    // does that when the pointer is outside the focused window. The key belongs to
    // that window (the board's own key handling, or the editor's hotkey field), so it
    // is handed to Qt as if reported there, and not handled here as well.
    if (QWindow* focused = QGuiApplication::focusWindow()) {
      keyEvent->event = static_cast<xcb_window_t>(focused->winId());
      keyEvent->child = XCB_NONE;
      return false;
    }
    const auto key = std::find_if(grabbed.begin(), grabbed.end(),
                                  [&](const Grabbed& g) { return g.keycode == keyEvent->detail; });
    if (key == grabbed.end()) return false;
    const xcb_keycode_t keycode = keyEvent->detail;
    if (kind == XCB_KEY_RELEASE) {
      down.erase(keycode);
      lastRelease[keycode] = keyEvent->time;
      return true;
    }
    constexpr std::uint16_t kModifierBits = 0xff;
    if ((keyEvent->state & kModifierBits & ~lockMask) != modifierMask) return false;
    // Held keys repeat either as presses without releases (detectable auto-repeat) or
    // as a release and a press with the same time stamp.
    const auto released = lastRelease.find(keycode);
    const bool repeat = down.count(keycode) ||
                        (released != lastRelease.end() && released->second == keyEvent->time);
    down.insert(keycode);
    if (!repeat) emit owner.pressed(key->name);
    return true;
  }

 private:
  struct Grabbed {
    QString name;
    xcb_keycode_t keycode;
  };

  void ungrabKeycode(xcb_keycode_t keycode) {
    for (xcb_window_t root : roots) {
      for (std::uint16_t mask : variants) xcb_ungrab_key(connection, keycode, root, mask);
    }
  }

  SystemHotkeys& owner;
  xcb_connection_t* connection;
  std::vector<xcb_window_t> roots;
  std::vector<std::uint16_t> variants;
  std::uint16_t modifierMask = 0;
  std::uint16_t lockMask = 0;
  std::vector<Grabbed> grabbed;
  QStringList refused;
  std::set<xcb_keycode_t> down;
  std::map<xcb_keycode_t, xcb_timestamp_t> lastRelease;
};

}  // namespace

std::unique_ptr<SystemHotkeys::Backend> makeX11HotkeysBackend(SystemHotkeys& owner,
                                                              xcb_connection_t* connection) {
  if (!connection) return nullptr;
  return std::make_unique<X11Hotkeys>(owner, connection);
}
