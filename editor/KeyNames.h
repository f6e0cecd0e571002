// Key names: the short texts ("A", "7", "Num 3") under which hotkeys are shown on the
// board's labels and stored in the library. A key is named by its position (see
// platform/KeyCodes.h), so modifiers and the keyboard layout never change a name. Only
// the 26 letters, the 10 digits of the main row and the 10 keypad digits have names.
//
// Thread-safety: pure functions over a constant table.
#pragma once

#include <cstdint>
#include <string>

class QKeyEvent;

// The name of the event's key, "" for a key without one.
std::string keyNameForKeyCode(const QKeyEvent& event);
// The name of a US ANSI virtual key code, "" for a code without one.
std::string keyNameForVirtualKeyCode(std::uint16_t keyCode);
// The position of the key with this name, kNoKeyCode for a text that names no key.
std::uint16_t keyCodeForKeyName(const std::string& name);
