// Fuzz target: the Base64/uuencode processor. Whatever the bytes, the lines must have the
// documented shape (45 input bytes a line, CR LF ends), and decoding them must give the
// input back, in both methods. The first input byte picks the method and where the input
// and output streams stand when Encode starts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/TMemoryStream.h"
#include "fuzz/FuzzRequire.h"
#include "http/TVelUUProcessor.h"

namespace {

const std::string MimeAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int MimeValue(char C) {
  const auto At = MimeAlphabet.find(C);
  return At == std::string::npos ? -1 : static_cast<int>(At);
}

// uuencode: '`' is 0, '!'..'_' are 1..63.
int UUValue(char C) {
  if (C == '`') return 0;
  if (C >= '!' && C <= '_') return C - 0x20;
  return -1;
}

// Bytes from groups of 6-bit values, as many as Count says.
std::string Unpack(const int* V, std::size_t Values, std::size_t Count) {
  std::string Out;
  std::uint32_t Bits = 0;
  int Held = 0;
  for (std::size_t I = 0; I < Values && Out.size() < Count; ++I) {
    Bits = (Bits << 6) | static_cast<std::uint32_t>(V[I]);
    Held += 6;
    if (Held >= 8) {
      Held -= 8;
      Out += static_cast<char>((Bits >> Held) & 0xFF);
    }
  }
  return Out;
}

std::string DecodeMime(const std::string& Text, const std::string& Input) {
  std::string Out;
  std::size_t At = 0;
  while (At < Text.size()) {
    const auto End = Text.find("\r\n", At);
    Require(End != std::string::npos, "a Base64 line does not end with CR LF",
            [&] { return Escaped(Text); });
    const std::string Line = Text.substr(At, End - At);
    At = End + 2;
    Require(!Line.empty() && Line.size() <= 60 && Line.size() % 4 == 0,
            "a Base64 line is empty, longer than 60 or not in groups of four",
            [&] { return Escaped(Line); });
    std::size_t Pad = 0;
    while (Pad < 2 && Line[Line.size() - 1 - Pad] == '=') ++Pad;
    int Values[60];
    for (std::size_t I = 0; I < Line.size() - Pad; ++I) {
      Values[I] = MimeValue(Line[I]);
      Require(Values[I] >= 0, "a Base64 line holds a byte outside the alphabet",
              [&] { return Escaped(Line); });
    }
    const std::size_t Bytes = Line.size() / 4 * 3 - Pad;
    Require(At == Text.size() || Bytes == 45, "a Base64 line before the last is not full",
            [&] { return Escaped(Line); });
    Out += Unpack(Values, Line.size() - Pad, Bytes);
  }
  Require(Out == Input, "Base64 does not decode to the input", [&] { return Escaped(Text); });
  return Out;
}

void DecodeUU(const std::string& Text, const std::string& Input) {
  std::string Out;
  std::size_t At = 0;
  bool Closed = false;
  while (At < Text.size()) {
    Require(!Closed, "uuencoded text goes on after its closing line",
            [&] { return Escaped(Text); });
    const auto End = Text.find("\r\n", At);
    Require(End != std::string::npos, "a uuencoded line does not end with CR LF",
            [&] { return Escaped(Text); });
    const std::string Line = Text.substr(At, End - At);
    At = End + 2;
    Require(!Line.empty(), "an empty uuencoded line", [&] { return Escaped(Text); });
    const int Count = UUValue(Line[0]);
    Require(Count >= 0 && Count <= 45, "a uuencoded length character out of range",
            [&] { return Escaped(Line); });
    if (Count == 0) {
      Require(Line.size() == 1, "the closing line holds more than its '`'",
              [&] { return Escaped(Line); });
      Closed = true;
      continue;
    }
    const std::size_t Chars = static_cast<std::size_t>(Count) / 3 * 4 +
                              (Count % 3 == 0 ? 0 : static_cast<std::size_t>(Count % 3) + 1);
    Require(Line.size() == Chars + 1, "a uuencoded line's length does not match its count",
            [&] { return Escaped(Line); });
    int Values[64];
    for (std::size_t I = 1; I < Line.size(); ++I) {
      Values[I - 1] = UUValue(Line[I]);
      Require(Values[I - 1] >= 0, "a uuencoded line holds a byte outside the alphabet",
              [&] { return Escaped(Line); });
    }
    Out += Unpack(Values, Chars, static_cast<std::size_t>(Count));
  }
  Require(Closed, "uuencoded text without its closing line", [&] { return Escaped(Text); });
  Require(Out == Input, "uuencoded text does not decode to the input",
          [&] { return Escaped(Text); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  const std::uint8_t Flags = Data[0];
  const std::string Input(reinterpret_cast<const char*>(Data + 1), Size - 1);
  const UUMethods Method = (Flags & 1) ? uuCode : uuMime;
  // Text already in the output stream stays ahead of the new lines.
  const std::string Before = (Flags & 2) ? "kept\r\n" : "";

  TMemoryStream In;
  TMemoryStream Out;
  In.WriteBuffer(Input.data(), static_cast<std::int64_t>(Input.size()));
  In.SetPosition(static_cast<std::int64_t>(Input.size()) * ((Flags >> 2) & 3) / 3);
  Out.WriteBuffer(Before.data(), static_cast<std::int64_t>(Before.size()));

  int Begins = 0;
  int Ends = 0;
  TVelUUProcessor Encoder(nullptr);
  Encoder.OnBeginEncode = [&](TObject*) { ++Begins; };
  Encoder.OnEndEncode = [&](TObject*) { ++Ends; };
  Encoder.InputStream = &In;
  Encoder.OutputStream = &Out;
  Encoder.Method = Method;
  Encoder.Encode();

  Require(Begins == 1 && Ends == 1, "OnBeginEncode and OnEndEncode did not run once each");
  Require(Out.Position() == 0, "the output stream is not rewound");
  Require(In.Position() == In.Size(), "the input stream is not at its end");
  const std::string Text = Out.DataString();
  Require(Text.compare(0, Before.size(), Before) == 0, "text already in the output was lost");
  const std::string Lines = Text.substr(Before.size());
  if (Method == uuMime)
    DecodeMime(Lines, Input);
  else
    DecodeUU(Lines, Input);
  return 0;
}
