// TLineLookAhead: the indices of ReadLn's peeked bytes and the search for the next line.
#include "socket/TLineLookAhead.h"

#include <cstring>

void TLineLookAhead::Hold(std::size_t Begin, std::size_t End, std::size_t Used) {
  FBegin = Begin;
  FEnd = End;
  FUsed = Used;
}

std::size_t TLineLookAhead::NextLine() const {
  // Handed-out bytes whose peek was forgotten hold no line (and no indices to count from).
  if (!Holds()) return 0;
  const char* Next = FBuffer + FBegin + FUsed;
  const std::size_t Left = FEnd - FBegin - FUsed;
  if (Left == 0) return 0;
  const auto* Lf = static_cast<const char*>(std::memchr(Next, '\n', Left));
  return Lf == nullptr ? 0 : static_cast<std::size_t>(Lf - Next) + 1;
}

void TLineLookAhead::HandOut(std::size_t Length, std::string& Line) {
  Line.assign(FBuffer + FBegin + FUsed, Length);
  FUsed += Length;
}

std::size_t TLineLookAhead::Release() {
  const std::size_t Used = FUsed;
  FBegin = FEnd = FUsed = 0;
  return Used;
}
