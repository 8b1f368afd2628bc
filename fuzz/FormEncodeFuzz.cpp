// Fuzz target: the form-data encoder. Any bytes must encode to letters, digits, '+' and
// "%XX" only, and decoding that text must give the input back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzRequire.h"
#include "http/TVelURL.h"

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;  // lower case never comes out of the encoder
}

bool IsAlnum(unsigned char C) {
  return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Input(reinterpret_cast<const char*>(Data), Size);
  TVelURL Encoder(nullptr);
  bool ErrorRaised = false;
  Encoder.OnError = [&](TObject*, std::string, std::string) { ErrorRaised = true; };
  Encoder.InputString = Input;
  const std::string Encoded = Encoder.Encode();
  Require(!ErrorRaised, "the encoder reported an error for plain input",
          [&] { return Escaped(Input); });
  Require(Encoder.Encode() == Encoded, "a second Encode gave another text",
          [&] { return Escaped(Input); });

  std::string Decoded;
  std::size_t Escapes = 0;
  for (std::size_t I = 0; I < Encoded.size(); ++I) {
    const auto C = static_cast<unsigned char>(Encoded[I]);
    if (IsAlnum(C)) {
      Decoded += static_cast<char>(C);
    } else if (C == '+') {
      Decoded += ' ';
    } else {
      Require(C == '%' && I + 2 < Encoded.size() && HexValue(Encoded[I + 1]) >= 0 &&
                  HexValue(Encoded[I + 2]) >= 0,
              "the encoded text holds a byte that is neither kept nor a %XX escape",
              [&] { return Escaped(Encoded); });
      Decoded += static_cast<char>(HexValue(Encoded[I + 1]) * 16 + HexValue(Encoded[I + 2]));
      I += 2;
      ++Escapes;
    }
  }
  Require(Decoded == Input, "decoding the encoded text does not give the input back",
          [&] { return Escaped(Input) + " -> " + Escaped(Encoded); });
  // Every byte that is not a letter, a digit or a space is escaped; the rest are not.
  std::size_t Expected = 0;
  for (char C : Input)
    if (!IsAlnum(static_cast<unsigned char>(C)) && C != ' ') ++Expected;
  Require(Escapes == Expected, "some byte was escaped that should pass, or the reverse",
          [&] { return Escaped(Input) + " -> " + Escaped(Encoded); });
  return 0;
}
