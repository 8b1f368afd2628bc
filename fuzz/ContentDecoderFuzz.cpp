// Fuzz target: the content decoders against hostile coded bodies. The first byte picks the
// codings, the second the size of the pieces the body comes in; the rest is the body. Nothing
// may crash or leak, and the decoded bytes never pass the ratio bound, however the stream
// breaks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzRequire.h"
#include "http/TContentDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  static const char* const Fields[] = {"gzip", "deflate", "br", "zstd", "gzip, br",
                                       "zstd, deflate", "br, gzip, zstd", "x-gzip, identity"};
  if (Size < 2) return 0;
  const char* Field = Fields[Data[0] % (sizeof Fields / sizeof *Fields)];
  const std::size_t Piece = 1 + Data[1] % 64 * 97;
  const std::string_view Body(reinterpret_cast<const char*>(Data) + 2, Size - 2);
  const TContentDecoder::TLimits Limits{.Ratio = 50, .Floor = 1 << 16};
  TContentDecoder Decoder(Field, Limits);
  std::string Out;
  std::int64_t Total = 0;
  try {
    for (std::size_t At = 0; At < Body.size(); At += Piece) {
      Decoder.Feed(Body.substr(At, Piece), Out);
      Total += static_cast<std::int64_t>(Out.size());
      Require(Total == Decoder.DecodedBytes(), "every byte decoded counted");
      Out.clear();
    }
    Decoder.Finish();
  } catch (const EHttpContentError&) {
  }
  const std::int64_t Bound = std::max<std::int64_t>(Limits.Floor, Decoder.CodedBytes() * Limits.Ratio);
  Require(Decoder.DecodedBytes() <= Bound, "decoded past the ratio bound");
  return 0;
}
