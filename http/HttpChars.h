// The few character rules HTTP text is read by, in ASCII whatever the locale: blanks (space
// and tab), their trimming, and names compared without regard to case.
#pragma once

#include <cstddef>
#include <string_view>

inline bool IsBlank(char C) { return C == ' ' || C == '\t'; }

inline char AsciiLower(char C) {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

// S without the blanks at either end.
inline std::string_view TrimBlanks(std::string_view S) {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
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
