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
