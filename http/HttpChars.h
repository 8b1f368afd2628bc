// The bytes no header line may hold; the ASCII rules every header is read by come with it.
#pragma once

#include <string_view>

#include "base/AsciiText.h"

// Whether S holds a byte that would end a header line early or cut it: CR, LF or NUL. One
// pass with one comparison for most bytes: every header value goes through it.
inline bool HasLineBreak(std::string_view S) {
  for (const char C : S)
    if (static_cast<unsigned char>(C) <= '\r' && (C == '\r' || C == '\n' || C == '\0'))
      return true;
  return false;
}
