#include "library/Caches.h"

namespace {
struct ButtonCaches {
  ButtonTextMap buttonId, title, musicSrc, hotkey;
};
ButtonCaches& caches() {
  static ButtonCaches instance;
  return instance;
}
}  // namespace

ButtonTextMap& dicButtonId() { return caches().buttonId; }
ButtonTextMap& dicTitle() { return caches().title; }
ButtonTextMap& dicMusicSrc() { return caches().musicSrc; }
ButtonTextMap& dicHotkey() { return caches().hotkey; }

void resetCachesForTesting() { caches() = ButtonCaches{}; }
