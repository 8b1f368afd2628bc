// TPassCompare: what differs between two passes, from any source (recorded now, read from a
// HAR, replayed): the status, the reply's header fields, the body by its kind, the timings.
// The reason phrase and the protocol version are shown but are no difference: a client is to
// ignore the reason, and an HTTP/2 recording replayed over HTTP/1.1 differs in version anyway.
// Between a reply of HTTP/2 (or 3) and one of HTTP/1.x, the fields only HTTP/1.x frames a
// message or a connection with (Connection, Keep-Alive, Proxy-Connection, Transfer-Encoding,
// Upgrade, Content-Length) are set apart when one reply has them and the other not; HTTP/2's
// lower-case names are no difference either, as no name's case is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspect/TExchangePass.h"
#include "inspect/TJsonDiff.h"
#include "inspect/TLineDiff.h"

// A header field of the final reply added, removed or changed; names are compared without
// case, and the n-th field of a name in A is matched with the n-th of that name in B.
struct THeaderChange {
  TChangeKind Kind = TChangeKind::ckChanged;
  std::string Name;    // as B writes it, or A for a removed field
  std::string Before;  // A's value; empty when added
  std::string After;   // B's value; empty when removed
  // The field changes on every request (Date, ETag, a cookie's expiry ...): set apart, not
  // counted as a difference.
  bool Volatile = false;
};

enum class TBodyKind : std::uint8_t {
  bkJson,   // both parse as JSON and one says so by its type: a diff by path
  bkText,   // both are text: a diff by line
  bkImage,  // either is a PNG, GIF or JPEG: type and size from the header bytes
  bkBytes   // anything else: the first differing offset
};

struct TImageFacts {
  std::string Type;  // "PNG", "GIF", "JPEG"; empty when the bytes are none of them
  int Width = 0;     // 0 when the header bytes do not say
  int Height = 0;
  bool operator==(const TImageFacts&) const = default;
};

struct TBodyComparison {
  TBodyKind Kind = TBodyKind::bkBytes;
  bool Same = true;  // the bytes kept are the same and so are the sizes
  // Either pass kept only the start of its body: the comparison is of what was kept.
  bool Cut = false;
  std::int64_t SizeA = 0;  // the bodies' sizes as Body holds them: decoded, when they were
  std::int64_t SizeB = 0;
  TJsonDiffResult Json;   // bkJson
  TLineDiffResult Lines;  // bkText
  TImageFacts ImageA, ImageB;                   // bkImage
  std::optional<std::int64_t> FirstDifference;  // bkBytes and bkImage, when not the same
};

// One kind of span in either pass (the look-ups around a question for another host are one),
// in milliseconds; unset for a pass that had none of that kind.
struct TSpanComparison {
  TSpanKind Kind = TSpanKind::skLookUp;
  std::optional<double> A;
  std::optional<double> B;
  std::optional<double> Difference() const {
    if (!A || !B) return std::nullopt;
    return *B - *A;
  }
};

// The TLS sessions of two passes side by side: the protocol, the cipher and the leaf
// certificate (its SHA-256 fingerprint and validity), and whether each was let through.
// Empty strings and zero dates for a pass without TLS.
struct TTlsSide {
  bool Present = false;  // the pass made a TLS session
  std::string Version;
  std::string Cipher;
  std::string Fingerprint;
  std::int64_t NotBefore = 0;
  std::int64_t NotAfter = 0;
  bool LetThrough = false;
  bool operator==(const TTlsSide&) const = default;
};

struct TTlsComparison {
  TTlsSide A;
  TTlsSide B;
  bool Changed() const { return !(A == B); }
};

struct TPassComparison {
  int StatusA = 0;
  int StatusB = 0;
  std::string ReasonA, ReasonB;    // shown, not counted
  std::string VersionA, VersionB;  // shown, not counted
  std::vector<THeaderChange> Headers;
  TBodyComparison Body;
  std::vector<TSpanComparison> Timings;  // shown, not counted
  // Set when either pass made a TLS session. Shown, not counted: another base, or a
  // certificate renewed, changes it without changing what the server answers.
  std::optional<TTlsComparison> Tls;

  // No difference that counts: same status, no header change but volatile ones, same body.
  bool Same() const;
};

class TPassCompare {
 public:
  struct TOptions {
    // Names of fields that change on every request; callers add their own.
    std::vector<std::string> Volatile = DefaultVolatile();
    TJsonDiff::TLimits Json;
    TLineDiff::TLimits Lines;
  };

  static TPassComparison Compare(const TExchangePass& A, const TExchangePass& B,
                                 const TOptions& Options);
  static TPassComparison Compare(const TExchangePass& A, const TExchangePass& B) {
    return Compare(A, B, TOptions());
  }

  // Date, Age, Expires, Last-Modified, ETag, X-Request-Id and their like.
  static std::vector<std::string> DefaultVolatile();
  // Type and size of an image from its first bytes.
  static TImageFacts Image(std::string_view Bytes);
};
