// Base64 and uuencode line encoding between two streams.
#include "http/TVelUUProcessor.h"

#include <string>

#include "base/Exception.h"

namespace {

constexpr int BlockSize = 45;  // input bytes per output line, as uuencode and MIME use

}  // namespace

TVelUUProcessor::TVelUUProcessor(TComponent* AOwner) : TComponent(AOwner) {}

void TVelUUProcessor::Raise(const TNotifyEvent& Event) {
  if (Event && !IsDestroying()) Event(this);
}

void TVelUUProcessor::LoadAlphabet() {
  static constexpr char Mime[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int I = 0; I < 64; ++I) {
    if (Method == uuCode)
      // Value 0 is '`' rather than the space, so no line carries blanks that mail or editors
      // might strip.
      FAlphabet[I] = static_cast<char>(I == 0 ? 0x60 : I + 0x20);
    else
      FAlphabet[I] = Mime[I];
  }
}

void TVelUUProcessor::Encode() {
  if (InputStream == nullptr || OutputStream == nullptr)
    throw Exception("Input and output streams must be set before encoding");
  InputStream->SetPosition(0);
  Raise(OnBeginEncode);
  try {
    LoadAlphabet();
    EncodeLines();
  } catch (...) {
    OutputStream->SetPosition(0);
    Raise(OnEndEncode);
    throw;
  }
  OutputStream->SetPosition(0);
  Raise(OnEndEncode);
}

void TVelUUProcessor::EncodeLines() {
  const bool Uu = Method == uuCode;
  const char* A = FAlphabet;
  unsigned char Block[BlockSize];
  std::string Line;
  Line.reserve(2 + BlockSize / 3 * 4 + 2);

  while (InputStream->Position() < InputStream->Size()) {
    // A stream may hand out fewer bytes than asked without being at its end; filling the
    // block keeps '=' padding and short uuencode lines to the true end of the data.
    int N = 0;
    while (N < BlockSize) {
      std::int64_t Got = InputStream->Read(Block + N, BlockSize - N);
      if (Got <= 0) break;
      N += static_cast<int>(Got);
    }
    if (N == 0) break;  // nothing more to be had: a loop on the size alone would never end

    Line.clear();
    if (Uu) Line += A[N & 63];
    int I = 0;
    for (; N - I >= 3; I += 3) {
      unsigned B0 = Block[I], B1 = Block[I + 1], B2 = Block[I + 2];
      Line += A[B0 >> 2];
      Line += A[((B0 & 3) << 4) | (B1 >> 4)];
      Line += A[((B1 & 15) << 2) | (B2 >> 6)];
      Line += A[B2 & 63];
    }
    if (N - I == 1) {
      unsigned B0 = Block[I];
      Line += A[B0 >> 2];
      Line += A[(B0 & 3) << 4];
      if (!Uu) Line += "==";
    } else if (N - I == 2) {
      unsigned B0 = Block[I], B1 = Block[I + 1];
      Line += A[B0 >> 2];
      Line += A[((B0 & 3) << 4) | (B1 >> 4)];
      Line += A[(B1 & 15) << 2];
      if (!Uu) Line += '=';
    }
    Line += "\r\n";
    OutputStream->WriteBuffer(Line.data(), static_cast<std::int64_t>(Line.size()));
    if (N < BlockSize) break;  // the stream ran dry inside this block
  }

  if (Uu) {
    const char Closing[] = {A[0], '\r', '\n'};
    OutputStream->WriteBuffer(Closing, sizeof Closing);
  }
}
