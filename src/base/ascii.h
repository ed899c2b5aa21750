// Letter case of names, ASCII only and the same in every locale: names are bytes, and bytes
// above 127 belong to UTF-8 sequences that no case rule may touch.
#pragma once

#include <string>

namespace tarnix {

constexpr bool IsAsciiUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool IsAsciiLower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool IsAsciiLetter(char c) { return IsAsciiUpper(c) || IsAsciiLower(c); }
constexpr char AsciiToLower(char c) {
  return IsAsciiUpper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiToUpper(char c) {
  return IsAsciiLower(c) ? static_cast<char>(c - 'a' + 'A') : c;
}
inline std::string AsciiLowered(std::string text) {
  for (char& c : text) c = AsciiToLower(c);
  return text;
}

// The edges of both ranges, checked where they are written.
static_assert(AsciiToLower('A') == 'a' && AsciiToLower('Z') == 'z' && AsciiToLower('@') == '@' &&
              AsciiToLower('[') == '[' && AsciiToLower('\xC3') == '\xC3');
static_assert(AsciiToUpper('a') == 'A' && AsciiToUpper('z') == 'Z' && AsciiToUpper('`') == '`' &&
              AsciiToUpper('{') == '{' && AsciiToUpper('_') == '_');
static_assert(IsAsciiLetter('A') && IsAsciiLetter('Z') && IsAsciiLetter('a') &&
              IsAsciiLetter('z') && !IsAsciiLetter('@') && !IsAsciiLetter('[') &&
              !IsAsciiLetter('`') && !IsAsciiLetter('{'));

}  // namespace tarnix
