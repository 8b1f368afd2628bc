// TPassCompare: the final replies of two passes read field by field, their bodies handed to the
// diff their kind calls for, their spans summed by kind.
#include "inspect/TPassCompare.h"

#include <algorithm>

#include "inspect/HttpText.h"

namespace {

struct TReplyLine {
  int Status = 0;
  std::string Version;
  std::string Reason;
};

TReplyLine StatusLine(const TExchangePass& P) {
  const auto Lines = HeaderLines(FinalReply(P.ReplyHeader));
  TReplyLine Out;
  Out.Status = P.ReplyNumber;
  if (Lines.empty()) return Out;
  const std::string_view Line = Lines[0];
  const auto First = Line.find(' ');
  Out.Version = std::string(Line.substr(0, First));
  if (First == std::string_view::npos) return Out;
  const auto Second = Line.find(' ', First + 1);
  if (Second != std::string_view::npos) Out.Reason = std::string(Line.substr(Second + 1));
  return Out;
}

// A Set-Cookie value without its Expires and Max-Age attributes, which change with the time
// of the request.
std::string CookieWithoutExpiry(std::string_view Value) {
  std::string Out;
  while (!Value.empty()) {
    const auto Semi = Value.find(';');
    const std::string_view Part = TrimBlanks(Value.substr(0, Semi));
    if (!StartsWithNoCase(Part, "Expires=") && !StartsWithNoCase(Part, "Max-Age=")) {
      Out += Part;
      Out += ';';
    }
    if (Semi == std::string_view::npos) break;
    Value.remove_prefix(Semi + 1);
  }
  return Out;
}

// HTTP/2 and HTTP/3 frame a message themselves: their replies have no field that manages a
// connection (RFC 9113, 8.2.2) and need no Content-Length.
bool Multiplexed(std::string_view Version) {
  return StartsWithNoCase(Version, "HTTP/2") || StartsWithNoCase(Version, "HTTP/3") ||
         SameNoCase(Version, "h2") || SameNoCase(Version, "h3");
}

// A field one reply has and the other has not because one came over HTTP/2 (or 3) and the
// other over HTTP/1.x: the version's doing, not the server's. A changed value still counts.
bool VersionsFraming(const THeaderChange& C) {
  if (C.Kind == TChangeKind::ckChanged) return false;
  for (const char* Name : {"Connection", "Keep-Alive", "Proxy-Connection", "Transfer-Encoding",
                           "Upgrade", "Content-Length"})
    if (SameNoCase(C.Name, Name)) return true;
  return false;
}

bool IsVolatile(const THeaderChange& C, const std::vector<std::string>& Names) {
  for (const std::string& N : Names)
    if (SameNoCase(N, C.Name)) return true;
  return C.Kind == TChangeKind::ckChanged && SameNoCase(C.Name, "Set-Cookie") &&
         CookieWithoutExpiry(C.Before) == CookieWithoutExpiry(C.After);
}

std::vector<THeaderChange> HeaderChanges(const TExchangePass& A, const TExchangePass& B,
                                         const std::vector<std::string>& Volatile,
                                         bool VersionsDiffer) {
  const auto FA = HeaderFields(FinalReply(A.ReplyHeader), true);
  const auto FB = HeaderFields(FinalReply(B.ReplyHeader), true);
  // The names in the order they first appear, A's first.
  std::vector<std::string> Names;
  for (const auto* Fields : {&FA, &FB})
    for (const THeaderField& F : *Fields)
      if (std::none_of(Names.begin(), Names.end(),
                       [&F](const std::string& N) { return SameNoCase(N, F.Name); }))
        Names.push_back(F.Name);
  std::vector<THeaderChange> Out;
  const auto Named = [](const std::vector<THeaderField>& Fields, const std::string& Name) {
    std::vector<const THeaderField*> List;
    for (const THeaderField& F : Fields)
      if (SameNoCase(F.Name, Name)) List.push_back(&F);
    return List;
  };
  for (const std::string& Name : Names) {
    const auto InA = Named(FA, Name);
    const auto InB = Named(FB, Name);
    for (std::size_t I = 0; I < std::max(InA.size(), InB.size()); ++I) {
      THeaderChange C;
      if (I >= InA.size()) {
        C = {TChangeKind::ckAdded, InB[I]->Name, "", InB[I]->Value, false};
      } else if (I >= InB.size()) {
        C = {TChangeKind::ckRemoved, InA[I]->Name, InA[I]->Value, "", false};
      } else if (InA[I]->Value != InB[I]->Value) {
        C = {TChangeKind::ckChanged, InB[I]->Name, InA[I]->Value, InB[I]->Value, false};
      } else {
        continue;
      }
      C.Volatile = IsVolatile(C, Volatile) || (VersionsDiffer && VersionsFraming(C));
      Out.push_back(std::move(C));
    }
  }
  return Out;
}

bool SaysJson(const TExchangePass& P) {
  const auto Type = FieldValue(HeaderFields(FinalReply(P.ReplyHeader), true), "Content-Type");
  if (!Type) return false;
  const std::string Media = AsciiLowered(TrimBlanks(std::string_view(*Type).substr(0, Type->find(';'))));
  return Media == "application/json" || Media == "text/json" ||
         (Media.size() > 5 && Media.compare(Media.size() - 5, 5, "+json") == 0);
}

std::uint32_t BigEndian(std::string_view B, std::size_t At, int Bytes) {
  std::uint32_t V = 0;
  for (int I = 0; I < Bytes; ++I)
    V = (V << 8) | static_cast<unsigned char>(B[At + static_cast<std::size_t>(I)]);
  return V;
}

// A JPEG's size is in its first start-of-frame segment, after any number of others.
TImageFacts JpegFacts(std::string_view B) {
  TImageFacts F{"JPEG", 0, 0};
  std::size_t At = 2;
  while (At + 9 <= B.size() && static_cast<unsigned char>(B[At]) == 0xFF) {
    const auto Marker = static_cast<unsigned char>(B[At + 1]);
    if (Marker == 0xFF) {  // fill byte
      ++At;
      continue;
    }
    const bool Frame = Marker >= 0xC0 && Marker <= 0xCF && Marker != 0xC4 && Marker != 0xC8 &&
                       Marker != 0xCC;
    if (Frame) {
      F.Height = static_cast<int>(BigEndian(B, At + 5, 2));
      F.Width = static_cast<int>(BigEndian(B, At + 7, 2));
      return F;
    }
    if (Marker == 0xD9 || Marker == 0xDA) break;  // end of image, or the scan: no frame header
    At += 2 + BigEndian(B, At + 2, 2);
  }
  return F;
}

std::optional<std::int64_t> FirstDifference(std::string_view A, std::string_view B) {
  const auto Mismatch = std::mismatch(A.begin(), A.end(), B.begin(), B.end());
  if (Mismatch.first == A.end() && Mismatch.second == B.end()) return std::nullopt;
  return static_cast<std::int64_t>(Mismatch.first - A.begin());
}

TBodyComparison BodyComparison(const TExchangePass& A, const TExchangePass& B,
                               const TPassCompare::TOptions& Options) {
  TBodyComparison Out;
  // Body holds the bytes decoded, when a coding came off: so are the sizes compared.
  Out.SizeA = A.ContentBytes();
  Out.SizeB = B.ContentBytes();
  Out.Cut = A.BodyCut() || B.BodyCut();
  const bool SameBytes = A.Body == B.Body && Out.SizeA == Out.SizeB;
  Out.ImageA = TPassCompare::Image(A.Body);
  Out.ImageB = TPassCompare::Image(B.Body);
  if (!Out.ImageA.Type.empty() || !Out.ImageB.Type.empty()) {
    Out.Kind = TBodyKind::bkImage;
  } else if (SaysJson(A) || SaysJson(B)) {
    if (auto Json = TJsonDiff::Diff(A.Body, B.Body, Options.Json)) {
      Out.Kind = TBodyKind::bkJson;
      Out.Json = std::move(*Json);
      Out.Same = Out.Json.Count == 0 && !Out.Cut;
      return Out;
    }
  }
  if (Out.Kind != TBodyKind::bkImage && TextLength(A.Body, A.BodyCut()) &&
      TextLength(B.Body, B.BodyCut())) {
    Out.Kind = TBodyKind::bkText;
    Out.Lines = TLineDiff::Diff(A.Body, B.Body, Options.Lines);
    Out.Same = Out.Lines.Count == 0 && Out.SizeA == Out.SizeB;
    return Out;
  }
  Out.Same = SameBytes;
  if (!SameBytes) Out.FirstDifference = FirstDifference(A.Body, B.Body).value_or(
                      static_cast<std::int64_t>(std::min(A.Body.size(), B.Body.size())));
  return Out;
}

std::vector<TSpanComparison> TimingComparison(const TExchangePass& A, const TExchangePass& B) {
  const auto SA = A.Spans();
  const auto SB = B.Spans();
  const auto Sum = [](const std::vector<TPassSpan>& Spans, TSpanKind Kind) {
    std::optional<double> Total;
    for (const TPassSpan& S : Spans)
      if (S.Kind == Kind) Total = Total.value_or(0.0) + S.Length();
    return Total;
  };
  std::vector<TSpanComparison> Out;
  for (const TSpanKind Kind : {TSpanKind::skLookUp, TSpanKind::skQuestion, TSpanKind::skConnect,
                               TSpanKind::skTls, TSpanKind::skSend, TSpanKind::skWait,
                               TSpanKind::skReceive}) {
    TSpanComparison C{Kind, Sum(SA, Kind), Sum(SB, Kind)};
    if (C.A || C.B) Out.push_back(C);
  }
  return Out;
}

TTlsSide TlsSide(const TExchangePass& P) {
  TTlsSide Side;
  if (!P.Tls) return Side;
  const TTlsFacts& F = *P.Tls;
  Side = {true, F.Version, F.Cipher, "", 0, 0, TExchangePass::TlsLetThrough(F)};
  if (!F.Chain.empty()) {
    Side.Fingerprint = F.Chain.front().Sha256;
    Side.NotBefore = F.Chain.front().NotBefore;
    Side.NotAfter = F.Chain.front().NotAfter;
  }
  return Side;
}

}  // namespace

bool TPassComparison::Same() const {
  return StatusA == StatusB && Body.Same &&
         std::all_of(Headers.begin(), Headers.end(),
                     [](const THeaderChange& C) { return C.Volatile; });
}

TPassComparison TPassCompare::Compare(const TExchangePass& A, const TExchangePass& B,
                                      const TOptions& Options) {
  TPassComparison Out;
  const TReplyLine LA = StatusLine(A);
  const TReplyLine LB = StatusLine(B);
  Out.StatusA = LA.Status;
  Out.StatusB = LB.Status;
  Out.ReasonA = LA.Reason;
  Out.ReasonB = LB.Reason;
  Out.VersionA = LA.Version;
  Out.VersionB = LB.Version;
  Out.Headers = HeaderChanges(A, B, Options.Volatile,
                              Multiplexed(LA.Version) != Multiplexed(LB.Version));
  Out.Body = BodyComparison(A, B, Options);
  Out.Timings = TimingComparison(A, B);
  if (A.Tls || B.Tls) Out.Tls = TTlsComparison{TlsSide(A), TlsSide(B)};
  return Out;
}

std::vector<std::string> TPassCompare::DefaultVolatile() {
  return {"Date",         "Age",          "Expires",        "Last-Modified", "ETag",
          "X-Request-Id", "Request-Id",   "X-Correlation-Id", "X-Amzn-RequestId",
          "X-Amz-Cf-Id",  "CF-Ray",       "X-Runtime",      "Server-Timing", "Traceparent",
          "X-Trace-Id",   "X-Served-By",  "X-Timer"};
}

TImageFacts TPassCompare::Image(std::string_view B) {
  if (B.size() >= 24 && B.substr(0, 8) == "\x89PNG\r\n\x1a\n" && B.substr(12, 4) == "IHDR")
    return {"PNG", static_cast<int>(BigEndian(B, 16, 4)), static_cast<int>(BigEndian(B, 20, 4))};
  if (B.size() >= 10 && (B.substr(0, 6) == "GIF87a" || B.substr(0, 6) == "GIF89a")) {
    const auto Little = [&B](std::size_t At) {
      return static_cast<unsigned char>(B[At]) | (static_cast<unsigned char>(B[At + 1]) << 8);
    };
    return {"GIF", Little(6), Little(8)};
  }
  if (B.size() >= 3 && B.substr(0, 3) == "\xFF\xD8\xFF") return JpegFacts(B);
  return {};
}
