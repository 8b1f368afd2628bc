// Integer/text conversions with the framework's messages.
#include "base/SysUtils.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "base/AsciiText.h"
#include "base/Exception.h"

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

namespace {

std::optional<int> ParseInt(const std::string& S) {
  std::size_t I = 0;
  const std::size_t N = S.size();
  while (I < N && IsBlank(S[I])) ++I;
  bool Negative = false;
  if (I < N && (S[I] == '+' || S[I] == '-')) {
    Negative = S[I] == '-';
    ++I;
  }
  bool Hex = false;
  if (I < N && S[I] == '$') {
    Hex = true;
    ++I;
  } else if (I + 1 < N && S[I] == '0' && (S[I + 1] == 'x' || S[I + 1] == 'X')) {
    Hex = true;
    I += 2;
  }
  if (I == N) return std::nullopt;

  // Accumulate the magnitude in 64 bits; the limit is checked after every digit, so it
  // cannot overflow. Hexadecimal is a 32-bit pattern ("$FFFFFFFF" is -1), decimal must fit
  // the signed range.
  const std::uint64_t Limit =
      Hex ? 0xFFFFFFFFull
          : (Negative ? 0x80000000ull
                      : static_cast<std::uint64_t>(std::numeric_limits<int>::max()));
  std::uint64_t Magnitude = 0;
  for (; I < N; ++I) {
    int Digit = Hex ? HexDigit(S[I]) : (S[I] >= '0' && S[I] <= '9' ? S[I] - '0' : -1);
    if (Digit < 0) return std::nullopt;
    Magnitude = Magnitude * (Hex ? 16 : 10) + static_cast<std::uint64_t>(Digit);
    if (Magnitude > Limit) return std::nullopt;
  }
  auto Bits = static_cast<std::uint32_t>(Magnitude);
  if (Negative) Bits = 0u - Bits;
  return static_cast<int>(Bits);  // two's complement conversion is defined since C++20
}

}  // namespace

std::string IntToStr(std::int64_t Value) { return std::to_string(Value); }

int StrToInt(const std::string& S) {
  if (auto Value = ParseInt(S)) return *Value;
  throw EConvertError("'" + S + "' is not a valid integer value");
}

int StrToIntDef(const std::string& S, int Default) { return ParseInt(S).value_or(Default); }
