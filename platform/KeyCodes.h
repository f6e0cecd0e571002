// Key positions. A hotkey belongs to a key's place on the keyboard, not to the
// character it types, so that a host's layout (or Shift, or Caps Lock) never changes
// which sound a key fires. The position is given as the virtual key code of the US
// ANSI keyboard that the key-name table is written in (A=0, S=1, ..., keypad 1=83,
// Return=36, space=49, Escape=53, F1=122, arrows 123-126, ...).
//
// On X11 and Wayland the position comes from the event's native scan code (the
// kernel's evdev code + 8). Events without one (scan code 0: the offscreen platform,
// synthesized events) are placed by their Qt::Key, with Qt::KeypadModifier telling the
// keypad's keys apart, as they sit on a US layout.
//
// Thread-safety: pure functions over constant tables.
#pragma once

#include <cstdint>

class QKeyEvent;

constexpr std::uint16_t kNoKeyCode = 0xFFFF;

std::uint16_t keyCodeForEvent(const QKeyEvent& event);

// The two halves of keyCodeForEvent, for callers that hold the raw values.
std::uint16_t keyCodeForEvdevCode(std::uint32_t evdevCode);        // kNoKeyCode when unknown
std::uint16_t keyCodeForQtKey(int qtKey, bool keypad);             // kNoKeyCode when unknown

// The other way: the evdev code of the key at a position (add 8 for the X11 keycode),
// 0 for a position no PC keyboard has.
std::uint32_t evdevCodeForKeyCode(std::uint16_t keyCode);
