// Content codings taken off: every coding whole and in pieces, two codings stacked, raw
// deflate under "deflate", gzip members one after the other, streams cut or corrupt, the
// ratio bound against a bomb, an unknown coding and a zstd window past 8 MiB.
#include <gtest/gtest.h>

#include "http/TContentDecoder.h"
#include "tests/support/CodedBodies.h"

namespace {

using testsupport::Brotli;
using testsupport::Zlib;
using testsupport::Zstd;

// Text that codes to some tens of kilobytes, so that a stream cut at 2,000 bytes is cut.
std::string Sample() {
  std::string S;
  std::uint32_t X = 1;
  for (int I = 0; I < 40000; ++I) S += "line " + std::to_string((X = X * 1103515245 + 12345) >> 16) + "\n";
  return S;
}

// Feeds Coded in pieces of Piece bytes (0: whole) and finishes.
std::string Decoded(TContentDecoder& D, const std::string& Coded, std::size_t Piece = 0) {
  std::string Out;
  if (Piece == 0) Piece = Coded.size() + 1;
  for (std::size_t At = 0; At < Coded.size(); At += Piece) D.Feed(std::string_view(Coded).substr(At, Piece), Out);
  D.Finish();
  return Out;
}

TEST(TContentDecoder, EveryCodingWholeAndInPieces) {
  const std::string Plain = Sample();
  const struct {
    const char* Field;
    std::string Coded;
  } Cases[] = {
      {"gzip", Zlib(Plain, 15 + 16)},
      {"X-Gzip", Zlib(Plain, 15 + 16)},
      {"deflate", Zlib(Plain, 15)},
      {"deflate", Zlib(Plain, -15)},  // raw deflate, as some servers send it
      {"br", Brotli(Plain)},
      {"zstd", Zstd(Plain)},
      {"gzip, br", Brotli(Zlib(Plain, 15 + 16))},  // gzip applied first, br over it
      {"identity,zstd ,, deflate", Zlib(Zstd(Plain), 15)},
      {"gzip", Zlib(Plain.substr(0, 1000), 31) + Zlib(Plain.substr(1000), 31)},  // two members
      {"gzip", Zlib(Plain, 31) + "trailing junk"},  // past the stream's end: not the body's
  };
  for (const auto& C : Cases)
    for (const std::size_t Piece : {std::size_t{0}, std::size_t{1}, std::size_t{4093}}) {
      TContentDecoder D(C.Field);
      ASSERT_TRUE(D.Active()) << C.Field;
      EXPECT_EQ(Decoded(D, C.Coded, Piece), Plain) << C.Field << " in pieces of " << Piece;
      EXPECT_EQ(D.DecodedBytes(), static_cast<std::int64_t>(Plain.size()));
    }
}

TEST(TContentDecoder, CutOrCorruptStreamsAreErrorsAndKeepWhatCameBefore) {
  const std::string Plain = Sample();
  const struct {
    const char* Field;
    std::string Coded;
    const char* Error;
  } Cases[] = {
      {"gzip", Zlib(Plain, 31).substr(0, 2000), "ends inside its gzip stream"},
      {"gzip", Zlib(Plain, 31).substr(0, Zlib(Plain, 31).size() - 4), "ends inside its gzip"},
      {"deflate", Zlib(Plain, 15).substr(0, 2000), "ends inside its deflate stream"},
      {"br", Brotli(Plain).substr(0, 2000), "ends inside its br stream"},
      {"zstd", Zstd(Plain).substr(0, 2000), "ends inside its zstd stream"},
      {"gzip", Zlib(Plain, 31).substr(0, 200) + std::string(64, '\xAA'), "Error while processing"},
      {"zstd", Zstd(Plain, 25), "Error while processing content unencoding: Frame requires too much"},
  };
  for (const auto& C : Cases) {
    TContentDecoder D(C.Field);
    std::string Out;
    try {
      D.Feed(C.Coded, Out);
      D.Finish();
      ADD_FAILURE() << C.Field << ": no error";
    } catch (const EHttpContentError& E) {
      EXPECT_NE(std::string(E.what()).find(C.Error), std::string::npos) << E.what();
    }
    EXPECT_EQ(Out, Plain.substr(0, Out.size())) << C.Field;
  }
}

TEST(TContentDecoder, ABombStopsAtItsRatioBoundAndAnUnknownCodingPassesTheBytesOn) {
  const std::string Bomb = Zlib(std::string(64 << 20, '\0'), 31);
  TContentDecoder D("gzip", {.Ratio = 100, .Floor = 1 << 20});
  std::string Out;
  std::string Error;
  for (std::size_t At = 0; At < Bomb.size() && Error.empty(); At += 16384) {
    try {
      D.Feed(std::string_view(Bomb).substr(At, 16384), Out);
    } catch (const EHttpContentError& E) {
      Error = E.what();
    }
  }
  EXPECT_NE(Error.find("more than 100 times"), std::string::npos) << Out.size();
  EXPECT_EQ(static_cast<std::int64_t>(Out.size()), std::max<std::int64_t>(1 << 20, D.CodedBytes() * 100));

  TContentDecoder Unknown("gzip, compress");
  EXPECT_FALSE(Unknown.Active());
  EXPECT_EQ(Unknown.Unknown(), "compress");
  EXPECT_EQ(Decoded(Unknown, "\x1f\x8b raw"), "\x1f\x8b raw");
}

// What a hostile reply may try beyond a plain bomb: more codings than any body needs, an
// inner stream that ended while the outer one decodes on without end, and a zstd frame that
// fills its last room exactly.
TEST(TContentDecoder, HostileListsAndStreamsAreHeld) {
  EXPECT_THROW(TContentDecoder("gzip, br, gzip, br, zstd, compress"), EHttpContentError);
  EXPECT_TRUE(TContentDecoder("gzip, br, gzip, br, zstd").Active());
  // br over a short gzip member and 16 MiB of zeros after it, which the gzip stage drops.
  const std::string Hidden = Brotli(Zlib("x", 31) + std::string(16 << 20, '\0'));
  TContentDecoder D("gzip, br", {.Ratio = 100, .Floor = 1 << 20});
  std::string Out;
  EXPECT_THROW(D.Feed(Hidden, Out), EHttpContentError);
  for (const std::size_t Size : {std::size_t{65536}, std::size_t{131072}}) {
    const std::string Body(Size, 'a');
    std::string Coded(ZSTD_compressBound(Size), '\0');
    Coded.resize(ZSTD_compress(Coded.data(), Coded.size(), Body.data(), Size, 3));
    TContentDecoder Z("zstd");
    EXPECT_EQ(Decoded(Z, Coded), Body) << Size;
  }
}

}  // namespace
