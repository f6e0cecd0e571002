#include "platform/KeyCodes.h"

#include <QKeyEvent>

#include <utility>

namespace {

// Virtual key codes of the US ANSI keyboard.
namespace vk {
constexpr std::uint16_t A = 0, S = 1, D = 2, F = 3, H = 4, G = 5, Z = 6, X = 7, C = 8, V = 9;
constexpr std::uint16_t IsoSection = 10, B = 11, Q = 12, W = 13, E = 14, R = 15, Y = 16, T = 17;
constexpr std::uint16_t Digit1 = 18, Digit2 = 19, Digit3 = 20, Digit4 = 21, Digit6 = 22, Digit5 = 23;
constexpr std::uint16_t Equal = 24, Digit9 = 25, Digit7 = 26, Minus = 27, Digit8 = 28, Digit0 = 29;
constexpr std::uint16_t RightBracket = 30, O = 31, U = 32, LeftBracket = 33, I = 34, P = 35;
constexpr std::uint16_t Return = 36, L = 37, J = 38, Quote = 39, K = 40, Semicolon = 41;
constexpr std::uint16_t Backslash = 42, Comma = 43, Slash = 44, N = 45, M = 46, Period = 47;
constexpr std::uint16_t Tab = 48, Space = 49, Grave = 50, Delete = 51, Escape = 53;
constexpr std::uint16_t RightCommand = 54, Command = 55, Shift = 56, CapsLock = 57, Option = 58;
constexpr std::uint16_t Control = 59, RightShift = 60, RightOption = 61, RightControl = 62;
constexpr std::uint16_t Function = 63, F17 = 64, KeypadDecimal = 65, KeypadMultiply = 67;
constexpr std::uint16_t KeypadPlus = 69, KeypadClear = 71, VolumeUp = 72, VolumeDown = 73, Mute = 74;
constexpr std::uint16_t KeypadDivide = 75, KeypadEnter = 76, KeypadMinus = 78, F18 = 79, F19 = 80;
constexpr std::uint16_t KeypadEquals = 81, Keypad0 = 82, Keypad1 = 83, Keypad2 = 84, Keypad3 = 85;
constexpr std::uint16_t Keypad4 = 86, Keypad5 = 87, Keypad6 = 88, Keypad7 = 89, F20 = 90;
constexpr std::uint16_t Keypad8 = 91, Keypad9 = 92, JisYen = 93, JisUnderscore = 94, JisKeypadComma = 95;
constexpr std::uint16_t F5 = 96, F6 = 97, F7 = 98, F3 = 99, F8 = 100, F9 = 101, JisEisu = 102;
constexpr std::uint16_t F11 = 103, JisKana = 104, F13 = 105, F16 = 106, F14 = 107, F10 = 109;
constexpr std::uint16_t ContextMenu = 110, F12 = 111, F15 = 113, Help = 114, Home = 115, PageUp = 116;
constexpr std::uint16_t ForwardDelete = 117, F4 = 118, End = 119, F2 = 120, PageDown = 121, F1 = 122;
constexpr std::uint16_t LeftArrow = 123, RightArrow = 124, DownArrow = 125, UpArrow = 126;
}  // namespace vk

// Linux evdev key codes (linux/input-event-codes.h) to positions. Keys of the PC
// keyboard take the place of their counterpart on the US Apple keyboard: Alt is
// Option, the Windows (Super) key is Command, Insert is Help, Num Lock is Clear, the
// ISO key beside the left Shift is the ISO section key.
constexpr std::pair<std::uint16_t, std::uint16_t> kEvdevToKeyCode[] = {
    {1, vk::Escape},
    {2, vk::Digit1}, {3, vk::Digit2}, {4, vk::Digit3}, {5, vk::Digit4}, {6, vk::Digit5},
    {7, vk::Digit6}, {8, vk::Digit7}, {9, vk::Digit8}, {10, vk::Digit9}, {11, vk::Digit0},
    {12, vk::Minus}, {13, vk::Equal}, {14, vk::Delete}, {15, vk::Tab},
    {16, vk::Q}, {17, vk::W}, {18, vk::E}, {19, vk::R}, {20, vk::T}, {21, vk::Y}, {22, vk::U},
    {23, vk::I}, {24, vk::O}, {25, vk::P}, {26, vk::LeftBracket}, {27, vk::RightBracket},
    {28, vk::Return}, {29, vk::Control},
    {30, vk::A}, {31, vk::S}, {32, vk::D}, {33, vk::F}, {34, vk::G}, {35, vk::H}, {36, vk::J},
    {37, vk::K}, {38, vk::L}, {39, vk::Semicolon}, {40, vk::Quote}, {41, vk::Grave},
    {42, vk::Shift}, {43, vk::Backslash},
    {44, vk::Z}, {45, vk::X}, {46, vk::C}, {47, vk::V}, {48, vk::B}, {49, vk::N}, {50, vk::M},
    {51, vk::Comma}, {52, vk::Period}, {53, vk::Slash}, {54, vk::RightShift},
    {55, vk::KeypadMultiply}, {56, vk::Option}, {57, vk::Space}, {58, vk::CapsLock},
    {59, vk::F1}, {60, vk::F2}, {61, vk::F3}, {62, vk::F4}, {63, vk::F5}, {64, vk::F6},
    {65, vk::F7}, {66, vk::F8}, {67, vk::F9}, {68, vk::F10},
    {69, vk::KeypadClear},
    {71, vk::Keypad7}, {72, vk::Keypad8}, {73, vk::Keypad9}, {74, vk::KeypadMinus},
    {75, vk::Keypad4}, {76, vk::Keypad5}, {77, vk::Keypad6}, {78, vk::KeypadPlus},
    {79, vk::Keypad1}, {80, vk::Keypad2}, {81, vk::Keypad3}, {82, vk::Keypad0}, {83, vk::KeypadDecimal},
    {86, vk::IsoSection}, {87, vk::F11}, {88, vk::F12}, {89, vk::JisUnderscore},
    {96, vk::KeypadEnter}, {97, vk::RightControl}, {98, vk::KeypadDivide}, {100, vk::RightOption},
    {102, vk::Home}, {103, vk::UpArrow}, {104, vk::PageUp}, {105, vk::LeftArrow}, {106, vk::RightArrow},
    {107, vk::End}, {108, vk::DownArrow}, {109, vk::PageDown}, {110, vk::Help}, {111, vk::ForwardDelete},
    {113, vk::Mute}, {114, vk::VolumeDown}, {115, vk::VolumeUp}, {117, vk::KeypadEquals},
    {121, vk::JisKeypadComma}, {122, vk::JisKana}, {123, vk::JisEisu}, {124, vk::JisYen},
    {125, vk::Command}, {126, vk::RightCommand}, {127, vk::ContextMenu}, {138, vk::Help},
    {183, vk::F13}, {184, vk::F14}, {185, vk::F15}, {186, vk::F16}, {187, vk::F17}, {188, vk::F18},
    {189, vk::F19}, {190, vk::F20},
    {464, vk::Function},
};

// Qt keys to positions, as typed on a US layout: a shifted symbol sits on the key that
// types it ("!" on 1), so Shift never moves a key. Keys the keypad also has are in the
// second table.
constexpr std::pair<int, std::uint16_t> kQtKeyToKeyCode[] = {
    {Qt::Key_A, vk::A}, {Qt::Key_B, vk::B}, {Qt::Key_C, vk::C}, {Qt::Key_D, vk::D}, {Qt::Key_E, vk::E},
    {Qt::Key_F, vk::F}, {Qt::Key_G, vk::G}, {Qt::Key_H, vk::H}, {Qt::Key_I, vk::I}, {Qt::Key_J, vk::J},
    {Qt::Key_K, vk::K}, {Qt::Key_L, vk::L}, {Qt::Key_M, vk::M}, {Qt::Key_N, vk::N}, {Qt::Key_O, vk::O},
    {Qt::Key_P, vk::P}, {Qt::Key_Q, vk::Q}, {Qt::Key_R, vk::R}, {Qt::Key_S, vk::S}, {Qt::Key_T, vk::T},
    {Qt::Key_U, vk::U}, {Qt::Key_V, vk::V}, {Qt::Key_W, vk::W}, {Qt::Key_X, vk::X}, {Qt::Key_Y, vk::Y},
    {Qt::Key_Z, vk::Z},
    {Qt::Key_1, vk::Digit1}, {Qt::Key_Exclam, vk::Digit1}, {Qt::Key_2, vk::Digit2}, {Qt::Key_At, vk::Digit2},
    {Qt::Key_3, vk::Digit3}, {Qt::Key_NumberSign, vk::Digit3}, {Qt::Key_4, vk::Digit4},
    {Qt::Key_Dollar, vk::Digit4}, {Qt::Key_5, vk::Digit5}, {Qt::Key_Percent, vk::Digit5},
    {Qt::Key_6, vk::Digit6}, {Qt::Key_AsciiCircum, vk::Digit6}, {Qt::Key_7, vk::Digit7},
    {Qt::Key_Ampersand, vk::Digit7}, {Qt::Key_8, vk::Digit8}, {Qt::Key_Asterisk, vk::Digit8},
    {Qt::Key_9, vk::Digit9}, {Qt::Key_ParenLeft, vk::Digit9}, {Qt::Key_0, vk::Digit0},
    {Qt::Key_ParenRight, vk::Digit0},
    {Qt::Key_Minus, vk::Minus}, {Qt::Key_Underscore, vk::Minus}, {Qt::Key_Equal, vk::Equal},
    {Qt::Key_Plus, vk::Equal}, {Qt::Key_BracketLeft, vk::LeftBracket}, {Qt::Key_BraceLeft, vk::LeftBracket},
    {Qt::Key_BracketRight, vk::RightBracket}, {Qt::Key_BraceRight, vk::RightBracket},
    {Qt::Key_Backslash, vk::Backslash}, {Qt::Key_Bar, vk::Backslash}, {Qt::Key_Semicolon, vk::Semicolon},
    {Qt::Key_Colon, vk::Semicolon}, {Qt::Key_Apostrophe, vk::Quote}, {Qt::Key_QuoteDbl, vk::Quote},
    {Qt::Key_QuoteLeft, vk::Grave}, {Qt::Key_AsciiTilde, vk::Grave}, {Qt::Key_Comma, vk::Comma},
    {Qt::Key_Less, vk::Comma}, {Qt::Key_Period, vk::Period}, {Qt::Key_Greater, vk::Period},
    {Qt::Key_Slash, vk::Slash}, {Qt::Key_Question, vk::Slash},
    {Qt::Key_Return, vk::Return}, {Qt::Key_Enter, vk::KeypadEnter}, {Qt::Key_Tab, vk::Tab},
    {Qt::Key_Backtab, vk::Tab}, {Qt::Key_Space, vk::Space}, {Qt::Key_Backspace, vk::Delete},
    {Qt::Key_Escape, vk::Escape}, {Qt::Key_Delete, vk::ForwardDelete}, {Qt::Key_Insert, vk::Help},
    {Qt::Key_Help, vk::Help}, {Qt::Key_Home, vk::Home}, {Qt::Key_End, vk::End}, {Qt::Key_PageUp, vk::PageUp},
    {Qt::Key_PageDown, vk::PageDown}, {Qt::Key_Left, vk::LeftArrow}, {Qt::Key_Right, vk::RightArrow},
    {Qt::Key_Down, vk::DownArrow}, {Qt::Key_Up, vk::UpArrow}, {Qt::Key_Clear, vk::KeypadClear},
    {Qt::Key_NumLock, vk::KeypadClear},
    {Qt::Key_Shift, vk::Shift}, {Qt::Key_Control, vk::Control}, {Qt::Key_Alt, vk::Option},
    {Qt::Key_AltGr, vk::RightOption}, {Qt::Key_Meta, vk::Command}, {Qt::Key_Super_L, vk::Command},
    {Qt::Key_Super_R, vk::RightCommand}, {Qt::Key_CapsLock, vk::CapsLock}, {Qt::Key_Menu, vk::ContextMenu},
    {Qt::Key_VolumeUp, vk::VolumeUp}, {Qt::Key_VolumeDown, vk::VolumeDown}, {Qt::Key_VolumeMute, vk::Mute},
    {Qt::Key_F1, vk::F1}, {Qt::Key_F2, vk::F2}, {Qt::Key_F3, vk::F3}, {Qt::Key_F4, vk::F4},
    {Qt::Key_F5, vk::F5}, {Qt::Key_F6, vk::F6}, {Qt::Key_F7, vk::F7}, {Qt::Key_F8, vk::F8},
    {Qt::Key_F9, vk::F9}, {Qt::Key_F10, vk::F10}, {Qt::Key_F11, vk::F11}, {Qt::Key_F12, vk::F12},
    {Qt::Key_F13, vk::F13}, {Qt::Key_F14, vk::F14}, {Qt::Key_F15, vk::F15}, {Qt::Key_F16, vk::F16},
    {Qt::Key_F17, vk::F17}, {Qt::Key_F18, vk::F18}, {Qt::Key_F19, vk::F19}, {Qt::Key_F20, vk::F20},
};

// With Qt::KeypadModifier. With Num Lock off the keypad types navigation keys; they are
// still the keypad's digit positions.
constexpr std::pair<int, std::uint16_t> kQtKeypadKeyToKeyCode[] = {
    {Qt::Key_0, vk::Keypad0}, {Qt::Key_1, vk::Keypad1}, {Qt::Key_2, vk::Keypad2}, {Qt::Key_3, vk::Keypad3},
    {Qt::Key_4, vk::Keypad4}, {Qt::Key_5, vk::Keypad5}, {Qt::Key_6, vk::Keypad6}, {Qt::Key_7, vk::Keypad7},
    {Qt::Key_8, vk::Keypad8}, {Qt::Key_9, vk::Keypad9},
    {Qt::Key_Insert, vk::Keypad0}, {Qt::Key_End, vk::Keypad1}, {Qt::Key_Down, vk::Keypad2},
    {Qt::Key_PageDown, vk::Keypad3}, {Qt::Key_Left, vk::Keypad4}, {Qt::Key_Clear, vk::Keypad5},
    {Qt::Key_Right, vk::Keypad6}, {Qt::Key_Home, vk::Keypad7}, {Qt::Key_Up, vk::Keypad8},
    {Qt::Key_PageUp, vk::Keypad9},
    {Qt::Key_Period, vk::KeypadDecimal}, {Qt::Key_Comma, vk::KeypadDecimal}, {Qt::Key_Delete, vk::KeypadDecimal},
    {Qt::Key_Asterisk, vk::KeypadMultiply}, {Qt::Key_Plus, vk::KeypadPlus}, {Qt::Key_Minus, vk::KeypadMinus},
    {Qt::Key_Slash, vk::KeypadDivide}, {Qt::Key_Equal, vk::KeypadEquals}, {Qt::Key_Enter, vk::KeypadEnter},
    {Qt::Key_Return, vk::KeypadEnter}, {Qt::Key_NumLock, vk::KeypadClear},
};

template <typename Key, std::size_t N>
std::uint16_t lookUp(const std::pair<Key, std::uint16_t> (&table)[N], Key key) {
  for (const auto& [from, to] : table) {
    if (from == key) {
      return to;
    }
  }
  return kNoKeyCode;
}

// X11 and Wayland keycodes are the evdev codes shifted by 8 (the X protocol reserves
// 0-7).
constexpr std::uint32_t kXkbKeycodeOffset = 8;

}  // namespace

std::uint16_t keyCodeForEvdevCode(std::uint32_t evdevCode) {
  if (evdevCode > 0xFFFF) {
    return kNoKeyCode;
  }
  return lookUp(kEvdevToKeyCode, static_cast<std::uint16_t>(evdevCode));
}

std::uint32_t evdevCodeForKeyCode(std::uint16_t keyCode) {
  // The first entry wins where two PC keys share a position (Insert and Help).
  for (const auto& [evdev, position] : kEvdevToKeyCode) {
    if (position == keyCode) {
      return evdev;
    }
  }
  return 0;
}

std::uint16_t keyCodeForQtKey(int qtKey, bool keypad) {
  if (keypad) {
    const std::uint16_t code = lookUp(kQtKeypadKeyToKeyCode, qtKey);
    if (code != kNoKeyCode) {
      return code;
    }
  }
  return lookUp(kQtKeyToKeyCode, qtKey);
}

std::uint16_t keyCodeForEvent(const QKeyEvent& event) {
  const std::uint32_t scanCode = event.nativeScanCode();
  if (scanCode != 0) {
    // A native code we cannot place names no position; guessing from the character
    // would tie the hotkey to the layout again.
    return scanCode > kXkbKeycodeOffset ? keyCodeForEvdevCode(scanCode - kXkbKeycodeOffset) : kNoKeyCode;
  }
  return keyCodeForQtKey(event.key(), event.modifiers().testFlag(Qt::KeypadModifier));
}
