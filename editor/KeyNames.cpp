#include "editor/KeyNames.h"

#include <QKeyEvent>
#include <array>
#include <string_view>

#include "platform/KeyCodes.h"

namespace {

// Indexed by virtual key code; the codes in between (punctuation, Return, the keypad's
// operators, 90 which is F20) have no name.
constexpr std::array<std::string_view, 93> kKeyNames = [] {
  std::array<std::string_view, 93> names{};
  names[0] = "A";
  names[1] = "S";
  names[2] = "D";
  names[3] = "F";
  names[4] = "H";
  names[5] = "G";
  names[6] = "Z";
  names[7] = "X";
  names[8] = "C";
  names[9] = "V";
  names[11] = "B";
  names[12] = "Q";
  names[13] = "W";
  names[14] = "E";
  names[15] = "R";
  names[16] = "Y";
  names[17] = "T";
  names[18] = "1";
  names[19] = "2";
  names[20] = "3";
  names[21] = "4";
  names[22] = "6";
  names[23] = "5";
  names[25] = "9";
  names[26] = "7";
  names[28] = "8";
  names[29] = "0";
  names[31] = "O";
  names[32] = "U";
  names[34] = "I";
  names[35] = "P";
  names[37] = "L";
  names[38] = "J";
  names[40] = "K";
  names[45] = "N";
  names[46] = "M";
  names[82] = "Num 0";
  names[83] = "Num 1";
  names[84] = "Num 2";
  names[85] = "Num 3";
  names[86] = "Num 4";
  names[87] = "Num 5";
  names[88] = "Num 6";
  names[89] = "Num 7";
  names[91] = "Num 8";
  names[92] = "Num 9";
  return names;
}();

}  // namespace

std::string keyNameForVirtualKeyCode(std::uint16_t keyCode) {
  if (keyCode >= kKeyNames.size()) {
    return {};
  }
  return std::string(kKeyNames[keyCode]);
}

std::uint16_t keyCodeForKeyName(const std::string& name) {
  if (name.empty()) {
    return kNoKeyCode;
  }
  for (std::size_t code = 0; code < kKeyNames.size(); ++code) {
    if (kKeyNames[code] == name) {
      return static_cast<std::uint16_t>(code);
    }
  }
  return kNoKeyCode;
}

std::string keyNameForKeyCode(const QKeyEvent& event) {
  return keyNameForVirtualKeyCode(keyCodeForEvent(event));
}
