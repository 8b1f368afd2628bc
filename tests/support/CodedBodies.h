// Bodies coded by the same libraries the decoders use, for the tests of content codings.
#pragma once

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <string>

namespace testsupport {

// Bits: 15 zlib, 15 + 16 gzip, -15 raw deflate.
inline std::string Zlib(const std::string& In, int Bits) {
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

inline std::string Brotli(const std::string& In) {
  std::string Out(BrotliEncoderMaxCompressedSize(In.size()) + 16, '\0');
  std::size_t Size = Out.size();
  BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, In.size(),
                        reinterpret_cast<const std::uint8_t*>(In.data()), &Size,
                        reinterpret_cast<std::uint8_t*>(Out.data()));
  Out.resize(Size);
  return Out;
}

inline std::string Zstd(const std::string& In, int WindowLog = 0) {
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

}  // namespace testsupport
