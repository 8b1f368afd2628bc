// The few character rules HTTP text is read by, in ASCII whatever the locale: blanks (space
// and tab), their trimming, names compared without regard to case, and the bytes no header
// line may hold.
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

// Whether S holds a byte that would end a header line early or cut it: CR, LF or NUL. One
// pass with one comparison for most bytes: every header value goes through it.
inline bool HasLineBreak(std::string_view S) {
  for (const char C : S)
    if (static_cast<unsigned char>(C) <= '\r' && (C == '\r' || C == '\n' || C == '\0'))
      return true;
  return false;
}

// Whether A and B are the same text once ASCII letters are taken in one case.
inline bool SameNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
  return true;
}
