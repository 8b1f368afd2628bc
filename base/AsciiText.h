// The character rules protocol text is read by, in ASCII whatever the locale: blanks (space and
// tab) and their trimming, and letters compared or folded without regard to case. Every layer
// above the platform takes them from here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline bool IsBlank(char C) { return C == ' ' || C == '\t'; }

inline char AsciiLower(char C) {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

inline char AsciiUpper(char C) {
  return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

// S without the blanks it starts with.
inline std::string_view SkipBlanks(std::string_view S) {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
  return S;
}

// S without the blanks at either end.
inline std::string_view TrimBlanks(std::string_view S) {
  S = SkipBlanks(S);
  while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
  return S;
}

// Whether A and B are the same text once ASCII letters are taken in one case.
inline bool SameNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
  return true;
}

inline bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && SameNoCase(Text.substr(0, Prefix.size()), Prefix);
}

// S with its ASCII letters in lower case.
inline std::string AsciiLowered(std::string_view S) {
  std::string Out(S);
  for (char& C : Out) C = AsciiLower(C);
  return Out;
}
