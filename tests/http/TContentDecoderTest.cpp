// Content codings taken off: every coding whole and in pieces, two codings stacked, raw
// deflate under "deflate", gzip members one after the other, streams cut or corrupt, the
// ratio bound against a bomb, an unknown coding and a zstd window past 8 MiB.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include "http/TContentDecoder.h"

namespace {

// Bits: 15 zlib, 15 + 16 gzip, -15 raw deflate.
std::string Zlib(const std::string& In, int Bits) {
  z_stream Z{};
  deflateInit2(&Z, 6, Z_DEFLATED, Bits, 8, Z_DEFAULT_STRATEGY);
  std::string Out(deflateBound(&Z, In.size()) + 32, '\0');
  Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
  Z.avail_in = static_cast<uInt>(In.size());
  Z.next_out = reinterpret_cast<Bytef*>(Out.data());
  Z.avail_out = static_cast<uInt>(Out.size());
  deflate(&Z, Z_FINISH);
  Out.resize(Z.total_out);
  deflateEnd(&Z);
  return Out;
}

std::string Brotli(const std::string& In) {
  std::string Out(BrotliEncoderMaxCompressedSize(In.size()) + 16, '\0');
  std::size_t Size = Out.size();
  BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, In.size(),
                        reinterpret_cast<const std::uint8_t*>(In.data()), &Size,
                        reinterpret_cast<std::uint8_t*>(Out.data()));
  Out.resize(Size);
  return Out;
}

std::string Zstd(const std::string& In, int WindowLog = 0) {
  ZSTD_CCtx* C = ZSTD_createCCtx();
  if (WindowLog != 0) ZSTD_CCtx_setParameter(C, ZSTD_c_windowLog, WindowLog);
  std::string Out(ZSTD_compressBound(In.size()), '\0');
  ZSTD_outBuffer O{Out.data(), Out.size(), 0};
  ZSTD_inBuffer I{In.data(), In.size(), 0};
  // Given in two calls, the size is not known up front: the frame declares its window.
  ZSTD_compressStream2(C, &O, &I, ZSTD_e_continue);
  ZSTD_compressStream2(C, &O, &I, ZSTD_e_end);
  ZSTD_freeCCtx(C);
  Out.resize(O.pos);
  return Out;
}

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

}  // namespace
