// Bidirectional controls made visible. Left as they are, U+202E and its kin reorder the text
// after them, so that a server or a file could make one name read as another
// ("abc<U+202E>fed" would read "abcdef"). Whatever shows text that came from a peer or a file,
// the window and the terminal alike, shows each of them as a mark such as "<U+202E>".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Unicode's Bidi_Control characters: the Arabic letter mark, the marks, the embeddings and
// overrides, and the isolates.
constexpr bool IsBidiControl(char32_t C) {
  return C == 0x061C || C == 0x200E || C == 0x200F || (C >= 0x202A && C <= 0x202E) ||
         (C >= 0x2066 && C <= 0x2069);
}

// The mark that stands for C: "<U+" four upper-case hex digits ">".
inline std::string BidiMark(char32_t C) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Mark = "<U+0000>";
  for (int Digit = 0; Digit < 4; ++Digit) Mark[6 - Digit] = Hex[(C >> (4 * Digit)) & 15];
  return Mark;
}

// UTF-8 text with each bidirectional control replaced by its mark. Every other byte stays as
// it is, malformed sequences included: only the three-byte forms of those characters (and the
// two-byte U+061C) are taken, so bytes that are not UTF-8 are never misread as one.
inline std::string WithVisibleBidi(std::string_view Utf8) {
  std::string Shown;
  std::size_t Copied = 0;
  for (std::size_t At = 0; At + 1 < Utf8.size(); ++At) {
    const auto B0 = static_cast<unsigned char>(Utf8[At]);
    if (B0 != 0xD8 && B0 != 0xE2) continue;
    const auto B1 = static_cast<unsigned char>(Utf8[At + 1]);
    char32_t C = 0;
    std::size_t Length = 0;
    if (B0 == 0xD8 && B1 == 0x9C) {
      C = 0x061C, Length = 2;
    } else if (B0 == 0xE2 && At + 2 < Utf8.size() && (B1 == 0x80 || B1 == 0x81)) {
      const auto B2 = static_cast<unsigned char>(Utf8[At + 2]);
      if ((B2 & 0xC0) != 0x80) continue;
      C = 0x2000 | ((B1 & 0x3Fu) << 6) | (B2 & 0x3Fu);
      Length = 3;
    }
    if (Length == 0 || !IsBidiControl(C)) continue;
    Shown.append(Utf8.substr(Copied, At - Copied));
    Shown += BidiMark(C);
    At += Length - 1;
    Copied = At + 1;
  }
  if (Copied == 0) return std::string(Utf8);
  Shown.append(Utf8.substr(Copied));
  return Shown;
}
