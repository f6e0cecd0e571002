#include "library/SqlText.h"

std::string quotedSqlText(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\0') continue;
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted;
}

std::string sqlLowercased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}
