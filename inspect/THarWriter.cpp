// THarWriter: the fields of HAR 1.2 from the record of each pass.
#include "inspect/THarWriter.h"

#include "inspect/THarReader.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "OrreryVersion.h"
#include "http/Base64.h"
#include "http/HttpErrors.h"
#include "inspect/FileSave.h"
#include "inspect/HttpText.h"
#include "inspect/TExchangeRecorder.h"
#include "tls/CertificateTime.h"

namespace {

using TJson = THarWriter::TJson;

// Milliseconds as the document gives them: to the microsecond, -1 when unknown.
double Rounded(double Ms) { return std::round(Ms * 1000.0) / 1000.0; }

TJson NameValues(const std::vector<THeaderField>& Fields) {
  TJson List = TJson::array();
  for (const THeaderField& F : Fields) List.push_back({{"name", F.Name}, {"value", F.Value}});
  return List;
}

// "a=1; b=2" of a Cookie line.
TJson RequestCookies(const std::vector<THeaderField>& Fields) {
  TJson List = TJson::array();
  for (const THeaderField& F : Fields) {
    if (!SameNoCase(F.Name, "Cookie")) continue;
    std::string_view Rest = F.Value;
    while (!Rest.empty()) {
      const auto Semi = Rest.find(';');
      const std::string_view Pair = TrimBlanks(Rest.substr(0, Semi));
      if (!Pair.empty()) {
        const auto Eq = Pair.find('=');
        List.push_back(
            {{"name", std::string(Pair.substr(0, Eq))},
             {"value",
              Eq == std::string_view::npos ? std::string() : std::string(Pair.substr(Eq + 1))}});
      }
      if (Semi == std::string_view::npos) break;
      Rest.remove_prefix(Semi + 1);
    }
  }
  return List;
}

// One Set-Cookie value: its name and value, then the attributes HAR has fields for.
TJson ReplyCookie(std::string_view Value) {
  const auto Semi = Value.find(';');
  const std::string_view Pair = TrimBlanks(Value.substr(0, Semi));
  const auto Eq = Pair.find('=');
  TJson Cookie = {
      {"name", std::string(Pair.substr(0, Eq))},
      {"value", Eq == std::string_view::npos ? std::string() : std::string(Pair.substr(Eq + 1))}};
  std::string_view Rest = Semi == std::string_view::npos ? "" : Value.substr(Semi + 1);
  while (!Rest.empty()) {
    const auto Next = Rest.find(';');
    const std::string_view Attribute = TrimBlanks(Rest.substr(0, Next));
    const auto AttrEq = Attribute.find('=');
    const std::string_view Name = Attribute.substr(0, AttrEq);
    const std::string AttrValue =
        AttrEq == std::string_view::npos ? "" : std::string(Attribute.substr(AttrEq + 1));
    if (SameNoCase(Name, "Path")) Cookie["path"] = AttrValue;
    if (SameNoCase(Name, "Domain")) Cookie["domain"] = AttrValue;
    if (SameNoCase(Name, "HttpOnly")) Cookie["httpOnly"] = true;
    if (SameNoCase(Name, "Secure")) Cookie["secure"] = true;
    if (Next == std::string_view::npos) break;
    Rest.remove_prefix(Next + 1);
  }
  return Cookie;
}

TJson ReplyCookies(const std::vector<THeaderField>& Fields) {
  TJson List = TJson::array();
  for (const THeaderField& F : Fields)
    if (SameNoCase(F.Name, "Set-Cookie")) List.push_back(ReplyCookie(F.Value));
  return List;
}

// Body bytes as HAR text: as they are when they are UTF-8, else in Base64. Returns whether
// Base64 was used. A text that holds less than the whole body (Size bytes) says so, in
// words and in "_textKept", the count of the body's bytes it holds.
bool PutBody(TJson& Into, const std::string& Body, std::int64_t Size) {
  const bool Cut = Size > static_cast<std::int64_t>(Body.size());
  const auto Length = TextLength(Body, Cut);
  Into["text"] = Length ? Body.substr(0, *Length) : Base64(Body);
  const auto Kept = static_cast<std::int64_t>(Length ? *Length : Body.size());
  if (Kept < Size) {
    Into["comment"] =
        "text holds the first " + std::to_string(Kept) + " of " + std::to_string(Size) + " bytes";
    Into["_textKept"] = Kept;
  }
  return !Length;
}

std::string Word(std::string_view Line, int Index) {
  for (int I = 0; I < Index; ++I) {
    const auto Blank = Line.find(' ');
    if (Blank == std::string_view::npos) return "";
    Line.remove_prefix(Blank + 1);
  }
  return std::string(Line.substr(0, Line.find(' ')));
}

// The version as browsers name HTTP/2 in a HAR ("h2"), any other as the line says it.
std::string HarVersion(std::string Version) {
  return SameNoCase(Version, "HTTP/2") ? "h2" : Version;
}

TJson Request(const TExchangePass& P) {
  const bool HasLine = !P.Method.empty();
  const auto Lines = HeaderLines(P.RequestHeader);
  const auto Fields = HeaderFields(P.RequestHeader, HasLine);
  std::string Version;
  if (HasLine && !Lines.empty())
    Version = HarVersion(std::string(Lines[0].substr(Lines[0].rfind(' ') + 1)));
  TJson R = {{"method", P.Method},
             {"url", P.URL.substr(0, P.URL.find('#'))},
             {"httpVersion", Version},
             {"cookies", RequestCookies(Fields)},
             {"headers", NameValues(Fields)},
             {"queryString", NameValues(QueryFields(P.URL))}};
  // A body sent without a Content-Length line (a pass read from an HTTP/2 recording) is a
  // body all the same.
  if (FieldValue(Fields, "Content-Length") || P.RequestBodySize > 0) {
    TJson Post = {{"mimeType", FieldValue(Fields, "Content-Type").value_or("")}};
    if (PutBody(Post, P.RequestBody, P.RequestBodySize)) Post["_encoding"] = "base64";
    R["postData"] = Post;
  }
  R["headersSize"] = static_cast<std::int64_t>(P.RequestHeader.size());
  R["bodySize"] = P.RequestBodySize;
  return R;
}

TJson Response(const TExchangePass& P) {
  // An interim reply (100 Continue) tells nothing of the result: the final one's block does.
  const std::string_view Final = FinalReply(P.ReplyHeader);
  const auto Lines = HeaderLines(Final);
  const auto Fields = HeaderFields(Final, true);
  const std::string_view StatusLine = Lines.empty() ? std::string_view() : Lines[0];
  const bool HeaderRead = P.At[xsHeaderEnd].has_value() || !P.ReplyHeader.empty();
  // A reply whose header came whole keeps its status when an error or a stop cut its body.
  const bool Replied = P.At[xsHeaderEnd].has_value() || P.Error.empty();
  std::string StatusText;
  if (const auto Second = StatusLine.find(' '); Second != std::string_view::npos)
    if (const auto Third = StatusLine.find(' ', Second + 1); Third != std::string_view::npos)
      StatusText = std::string(StatusLine.substr(Third + 1));
  // content.size is the body decoded, bodySize the bytes on the wire; their difference is the
  // compression, written for every decoded body (a small or cut one may have grown), so that
  // a reader tells the two sizes apart.
  const std::int64_t Decoded = P.ContentBytes();
  TJson Content = {{"size", Decoded},
                   {"mimeType", FieldValue(Fields, "Content-Type").value_or("")}};
  if (P.DecodedBytes) Content["compression"] = Decoded - P.BodyBytes;
  // A body that went to a file was not kept: no text rather than an empty one.
  const bool NotKept = P.Body.empty() && Decoded > 0;
  if (!NotKept && PutBody(Content, P.Body, Decoded)) Content["encoding"] = "base64";
  TJson R = {{"status", Replied ? P.ReplyNumber : 0},
             {"statusText", Replied ? StatusText : ""},
             {"httpVersion", HarVersion(Word(StatusLine, 0))},
             {"cookies", ReplyCookies(Fields)},
             {"headers", NameValues(Fields)},
             {"content", Content},
             {"redirectURL", FieldValue(Fields, "Location").value_or("")},
             {"headersSize", HeaderRead ? static_cast<std::int64_t>(P.ReplyHeader.size()) : -1},
             {"bodySize", P.At[xsHeaderEnd] ? P.BodyBytes : -1}};
  // A stop is the user's, not the exchange's failure: said so, not in the socket's words.
  if (!P.Error.empty()) R["_error"] = P.Stopped ? "Stopped by the user" : P.Error;
  if (P.BodyMayBeCut) R["_warning"] = TlsCutMessage;
  if (!P.Error.empty() && P.ErrorStep != TSockStep::ssNone)
    R["_errorStep"] = SockStepName(P.ErrorStep);
  // A body cut short by the close is no complete reply, whatever its status says.
  if (const std::string Short = P.ShortBodyError(); P.Error.empty() && !Short.empty()) {
    R["_error"] = Short;
    R["comment"] = "Corps incomplet : " + std::to_string(P.BodyBytes) + " octets sur " +
                   std::to_string(*P.AnnouncedLength());
  }
  return R;
}

TJson Certificate(const TTlsCertificate& C) {
  return {{"subject", C.Subject},
          {"issuer", C.Issuer},
          {"dnsNames", C.DnsNames},
          {"ipAddresses", C.IpAddresses},
          {"notBefore", CertificateTime::IsoText(C.NotBefore)},
          {"notAfter", CertificateTime::IsoText(C.NotAfter)},
          {"serial", C.Serial},
          {"sha256", C.Sha256},
          {"keyType", C.KeyType},
          {"keyBits", C.KeyBits},
          {"signatureAlgorithm", C.SignatureAlgorithm},
          {"commonName", C.CommonName},
          {"issuerCommonName", C.IssuerCommonName},
          {"ca", C.IsCa}};
}

// The session as far as it went: "verified" when the chain passed the check, "waived" when
// the caller turned the check off (the pass went on whatever the chain), and the reason of
// a failure in plain words.
TJson Tls(const TTlsFacts& F) {
  TJson Chain = TJson::array();
  for (const TTlsCertificate& C : F.Chain) Chain.push_back(Certificate(C));
  return {{"version", F.Version},
          {"cipher", F.Cipher},
          {"group", F.Group},
          {"alpn", F.Alpn},
          {"sni", F.Sni},
          {"resumed", F.Resumed},
          {"verified", F.Outcome.HandshakeDone && F.Outcome.VerifyResult == 0},
          {"waived", F.VerifyWaived},
          {"reason", F.Reason.Problem == TTlsProblem::tpNone ? ""
                     : F.Outcome.VerifyResult == RecordedVerifyResult ? F.Reason.Detail
                                                                      : ReasonInEnglish(F.Reason)},
          {"chain", Chain}};
}

// A frame as it went or came: the fields its type carries, and its time from the pass's
// start.
TJson Frame(const THttp2Frame& F, double At) {
  TJson J = {{"direction", F.Sent ? "sent" : "received"},
             {"type", Http2Names::FrameType(F.Type)},
             {"flags", Http2Names::Flags(F.Type, F.Flags)},
             {"stream", F.Stream},
             {"length", F.Length},
             {"time", Rounded(At)}};
  if (F.Type == THttp2Frame::ftHeaders || F.Type == THttp2Frame::ftPushPromise)
    J["headers"] = F.Headers;
  if (F.Type == THttp2Frame::ftRstStream || F.Type == THttp2Frame::ftGoAway)
    J["errorCode"] = Http2Names::ErrorCode(F.ErrorCode);
  if (F.Type == THttp2Frame::ftGoAway) J["lastStream"] = F.LastStream;
  if (!F.Detail.empty()) J["detail"] = F.Detail;
  return J;
}

}  // namespace

TJson THarWriter::Timings(const TExchangePass& P) {
  // The pass's spans, each kind summed: the look-ups before and after a question for another
  // host are "dns" together, the question is "blocked". A stage with no span is -1, and -1
  // stays an integer. A TLS handshake is "ssl" and, as HAR counts it, part of "connect".
  const std::vector<TPassSpan> Spans = P.Spans();
  const auto Sum = [&Spans](TSpanKind Kind) -> std::optional<double> {
    std::optional<double> Total;
    for (const TPassSpan& S : Spans)
      if (S.Kind == Kind) Total = Total.value_or(0.0) + S.Length();
    return Total;
  };
  const auto Ms = [](std::optional<double> Value) {
    return Value ? TJson(Rounded(*Value)) : TJson(-1);
  };
  const std::optional<double> Tls = Sum(TSpanKind::skTls);
  std::optional<double> Connect = Sum(TSpanKind::skConnect);
  if (Connect && Tls) *Connect += *Tls;
  TJson T = {{"blocked", Ms(Sum(TSpanKind::skQuestion))}, {"dns", Ms(Sum(TSpanKind::skLookUp))},
             {"connect", Ms(Connect)},                     {"send", Ms(Sum(TSpanKind::skSend))},
             {"wait", Ms(Sum(TSpanKind::skWait))},         {"receive", Ms(Sum(TSpanKind::skReceive))}};
  if (Tls) T["ssl"] = Ms(Tls);
  return T;
}

TJson THarWriter::Entry(const TExchangePass& P) {
  const TJson T = Timings(P);
  double Total = 0;
  // "ssl" is counted in "connect" already.
  for (const auto& [Name, Value] : T.items())
    if (Name != "ssl" && Value.get<double>() > 0) Total += Value.get<double>();
  TJson E = {{"startedDateTime", IsoTime(P.StartedAt)},
             {"time", Rounded(Total)},
             {"request", Request(P)},
             {"response", Response(P)},
             {"cache", TJson::object()},
             {"timings", T}};
  // HAR's id of the connection, a string: the component's number for it.
  if (P.Connection >= 0) E["connection"] = std::to_string(P.Connection);
  if (!P.TunnelRequest.empty())
    E["_tunnel"] = {
        {"request", P.TunnelRequest}, {"response", P.TunnelReply}, {"status", P.TunnelStatus}};
  if (P.Tls) E["_tls"] = Tls(*P.Tls);
  if (P.Stream > 0) E["_stream"] = P.Stream;
  if (!P.Frames.empty() || P.FramesLeftOut > 0) {
    TJson Frames = TJson::array();
    for (std::size_t I = 0; I < P.Frames.size(); ++I)
      Frames.push_back(Frame(P.Frames[I], I < P.FrameTimes.size() ? P.FrameTimes[I] : 0));
    E["_frames"] = Frames;
    if (P.FramesLeftOut > 0) E["_framesLeftOut"] = P.FramesLeftOut;
  }
  return E;
}

TJson THarWriter::Document(const std::vector<TExchangePass>& Passes, const std::string& Error) {
  TJson Entries = TJson::array();
  for (const TExchangePass& P : Passes) Entries.push_back(Entry(P));
  TJson Log = {{"version", "1.2"},
               {"creator", {{"name", "Orrery"}, {"version", ORRERY_VERSION}}},
               {"entries", Entries}};
  if (!Error.empty()) Log["_error"] = Error;
  return {{"log", Log}};
}

TJson THarWriter::Document(const TExchangeRecorder& Recorder) {
  return Document(Recorder.Passes(), Recorder.Error());
}

std::string THarWriter::Text(const TJson& Document) {
  return Document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void THarWriter::Save(const std::string& FileName, const TJson& Document) {
  SaveFile(FileName, {Text(Document)});
}

std::string THarWriter::IsoTime(std::chrono::system_clock::time_point Time) {
  using namespace std::chrono;
  const auto Ms = duration_cast<milliseconds>(Time.time_since_epoch()).count();
  auto Seconds = static_cast<std::time_t>(Ms / 1000);
  auto Milli = static_cast<int>(Ms % 1000);
  if (Milli < 0) {
    Milli += 1000;
    --Seconds;
  }
  std::tm Local{};
  ::localtime_r(&Seconds, &Local);
  const long Offset = Local.tm_gmtoff / 60;
  const long AbsOffset = Offset < 0 ? -Offset : Offset;
  char Text[64];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min,
                Local.tm_sec, Milli, Offset < 0 ? '-' : '+', AbsOffset / 60, AbsOffset % 60);
  return Text;
}
