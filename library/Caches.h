#pragma once
// The four caches that mirror the category shown on the board: button number (1-40)
// to the row's ButtonId, Title, MusicSrc and Hotkey. Process-wide, shared by the
// board's and the editor's operations, created on first use.
//
// Thread-safety: main thread only, like every user of the caches.

#include <map>
#include <string>

using ButtonTextMap = std::map<int, std::string>;

ButtonTextMap& dicButtonId();
ButtonTextMap& dicTitle();
ButtonTextMap& dicMusicSrc();
ButtonTextMap& dicHotkey();

// Empties all four (tests only; the program replaces them by loading a category).
void resetCachesForTesting();
