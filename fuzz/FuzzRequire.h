// The fuzz targets' way to report a broken property: print what broke and abort, so that
// libFuzzer keeps the input that did it as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void Broken(const char* What, const std::string& Detail) {
  std::fprintf(stderr, "property broken: %s\n", What);
  if (!Detail.empty()) std::fprintf(stderr, "  %s\n", Detail.c_str());
  std::abort();
}

inline void Require(bool Holds, const char* What) {
  if (!Holds) Broken(What, {});
}

// Detail() builds the report's second line; it runs only when the property is broken.
template <class F>
inline void Require(bool Holds, const char* What, F&& Detail) {
  if (!Holds) Broken(What, Detail());
}

// Printable form of bytes for a report: C-style escapes for anything outside ASCII 32..126.
inline std::string Escaped(const std::string& Bytes, std::size_t Limit = 300) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Out;
  for (std::size_t I = 0; I < Bytes.size() && I < Limit; ++I) {
    const auto C = static_cast<unsigned char>(Bytes[I]);
    if (C == '\r') {
      Out += "\\r";
    } else if (C == '\n') {
      Out += "\\n";
    } else if (C == '\\') {
      Out += "\\\\";
    } else if (C >= 32 && C < 127) {
      Out += static_cast<char>(C);
    } else {
      Out += "\\x";
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    }
  }
  if (Bytes.size() > Limit) Out += "...";
  return Out;
}
