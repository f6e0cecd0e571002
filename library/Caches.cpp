#include "library/Caches.h"

namespace {
struct ButtonCaches {
  ButtonTextMap buttonId, title, musicSrc, hotkey;
  std::string cutButtonId;
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

std::string& cutButtonId() { return caches().cutButtonId; }

void resetCachesForTesting() { caches() = ButtonCaches{}; }
