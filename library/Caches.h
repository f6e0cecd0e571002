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

// The cut buffer: the ButtonId of the sound last cut, "" when nothing is cut. Lives in
// memory only; a paste that moves the sound empties it.
std::string& cutButtonId();

// Empties all four and the cut buffer (tests only; the program replaces them by loading a
// category).
void resetCachesForTesting();
