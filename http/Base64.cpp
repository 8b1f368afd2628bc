// Base64 in one line: no line breaks, unlike TVelUUProcessor's stream of 76-character lines.
#include "http/Base64.h"

std::string Base64(std::string_view Data) {
  static constexpr char Alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  Out.reserve((Data.size() + 2) / 3 * 4);
  std::size_t I = 0;
  for (; I + 2 < Data.size(); I += 3) {
    const unsigned Bits = static_cast<unsigned char>(Data[I]) << 16 |
                          static_cast<unsigned char>(Data[I + 1]) << 8 |
                          static_cast<unsigned char>(Data[I + 2]);
    for (const int Shift : {18, 12, 6, 0}) Out += Alphabet[(Bits >> Shift) & 63];
  }
  if (const std::size_t Rest = Data.size() - I; Rest > 0) {
    unsigned Bits = static_cast<unsigned char>(Data[I]) << 16;
    if (Rest == 2) Bits |= static_cast<unsigned char>(Data[I + 1]) << 8;
    Out += Alphabet[(Bits >> 18) & 63];
    Out += Alphabet[(Bits >> 12) & 63];
    Out += Rest == 2 ? Alphabet[(Bits >> 6) & 63] : '=';
    Out += '=';
  }
  return Out;
}
