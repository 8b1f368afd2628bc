// THarReader: the SAX events of a HAR file gathered per entry, then checked and composed into
// a pass record. Only the fields a pass keeps are gathered; the rest of the file is skipped.
#include "inspect/THarReader.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <streambuf>

#include "base/AsciiText.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"
#include "tls/CertificateTime.h"

namespace {

using TJson = nlohmann::json;

// The timings of HAR in their order; ssl is part of connect.
enum THarTiming : std::uint8_t { htBlocked, htDns, htConnect, htSsl, htSend, htWait, htReceive };
constexpr const char* TimingNames[] = {"blocked", "dns", "connect", "ssl",
                                       "send",    "wait", "receive"};

struct TRawField {
  std::optional<std::string> Name;
  std::optional<std::string> Value;
};

// One element of _frames as the file wrote it.
struct TRawFrame {
  std::optional<std::string> Direction, Type, Flags, Headers, ErrorCode, Detail;
  std::optional<double> Stream, Length, LastStream, Time;
};

// What one entry gave of the fields a pass keeps, as the file wrote them.
struct TRawEntry {
  std::size_t Index = 0;
  std::optional<std::string> Started, Method, URL, RequestVersion;
  std::vector<TRawField> RequestFields;
  std::optional<std::string> PostText, PostEncoding;
  std::optional<double> RequestBodySize;
  std::optional<double> Status;
  std::optional<std::string> StatusText, ReplyVersion;
  std::vector<TRawField> ReplyFields;
  std::optional<std::string> BodyText, BodyEncoding;
  std::optional<double> BodySize;
  std::optional<double> Compression, WireSize;
  std::optional<std::string> Error, ErrorStep;
  std::array<std::optional<double>, 7> Timings;
  std::optional<std::string> Connection;
  // Orrery's own: the TLS session (its reason in words only) and the CONNECT exchange.
  std::optional<TTlsFacts> Tls;
  std::optional<bool> TlsVerified;
  std::optional<std::string> TlsReason;
  std::optional<std::string> TunnelRequest, TunnelReply;
  std::optional<double> TunnelStatus;
  // The HTTP/2 stream and the frames of its connection, as THarWriter writes them.
  std::optional<double> Stream, FramesLeftOut;
  std::vector<TRawFrame> Frames;
  std::string Refused;  // the first fault found
  std::size_t BodyKept = std::numeric_limits<std::size_t>::max();
  std::uint64_t TextAt = 0;  // where response.content.text's value stands in the file
};

enum class TWant : std::uint8_t { wString, wNumber, wBool, wObject, wArray };

const char* Expected(TWant Want) {
  switch (Want) {
    case TWant::wString: return "a string expected";
    case TWant::wNumber: return "a number expected";
    case TWant::wBool: return "true or false expected";
    case TWant::wObject: return "an object expected";
    case TWant::wArray: return "an array expected";
  }
  return "";
}

struct TKnownField {
  const char* Path;  // relative to the entry, array indices as "[]"
  TWant Want;
};

constexpr TKnownField KnownFields[] = {
    {"request", TWant::wObject},
    {"response", TWant::wObject},
    {"request.headers", TWant::wArray},
    {"response.headers", TWant::wArray},
    {"request.headers[]", TWant::wObject},
    {"response.headers[]", TWant::wObject},
    {"request.postData", TWant::wObject},
    {"response.content", TWant::wObject},
    {"timings", TWant::wObject},
    {"connection", TWant::wString},
    {"startedDateTime", TWant::wString},
    {"request.method", TWant::wString},
    {"request.url", TWant::wString},
    {"request.httpVersion", TWant::wString},
    {"request.headers[].name", TWant::wString},
    {"request.headers[].value", TWant::wString},
    {"request.postData.text", TWant::wString},
    {"request.postData._encoding", TWant::wString},
    {"request.postData.encoding", TWant::wString},
    {"request.bodySize", TWant::wNumber},
    {"response.status", TWant::wNumber},
    {"response.statusText", TWant::wString},
    {"response.httpVersion", TWant::wString},
    {"response.headers[].name", TWant::wString},
    {"response.headers[].value", TWant::wString},
    {"response.content.text", TWant::wString},
    {"response.content.encoding", TWant::wString},
    {"response.content.size", TWant::wNumber},
    {"response.content.compression", TWant::wNumber},
    {"response.bodySize", TWant::wNumber},
    {"response._error", TWant::wString},
    {"response._errorStep", TWant::wString},
    {"timings.blocked", TWant::wNumber},
    {"timings.dns", TWant::wNumber},
    {"timings.connect", TWant::wNumber},
    {"timings.ssl", TWant::wNumber},
    {"timings.send", TWant::wNumber},
    {"timings.wait", TWant::wNumber},
    {"timings.receive", TWant::wNumber},
    {"_tunnel", TWant::wObject},
    {"_tunnel.request", TWant::wString},
    {"_tunnel.response", TWant::wString},
    {"_tunnel.status", TWant::wNumber},
    {"_tls", TWant::wObject},
    {"_tls.version", TWant::wString},
    {"_tls.cipher", TWant::wString},
    {"_tls.group", TWant::wString},
    {"_tls.alpn", TWant::wString},
    {"_tls.sni", TWant::wString},
    {"_tls.resumed", TWant::wBool},
    {"_tls.verified", TWant::wBool},
    {"_tls.waived", TWant::wBool},
    {"_tls.reason", TWant::wString},
    {"_tls.chain", TWant::wArray},
    {"_tls.chain[]", TWant::wObject},
    {"_tls.chain[].subject", TWant::wString},
    {"_tls.chain[].issuer", TWant::wString},
    {"_tls.chain[].dnsNames", TWant::wArray},
    {"_tls.chain[].dnsNames[]", TWant::wString},
    {"_tls.chain[].ipAddresses", TWant::wArray},
    {"_tls.chain[].ipAddresses[]", TWant::wString},
    {"_tls.chain[].notBefore", TWant::wString},
    {"_tls.chain[].notAfter", TWant::wString},
    {"_tls.chain[].serial", TWant::wString},
    {"_tls.chain[].sha256", TWant::wString},
    {"_tls.chain[].keyType", TWant::wString},
    {"_tls.chain[].keyBits", TWant::wNumber},
    {"_tls.chain[].signatureAlgorithm", TWant::wString},
    {"_tls.chain[].commonName", TWant::wString},
    {"_tls.chain[].issuerCommonName", TWant::wString},
    {"_tls.chain[].ca", TWant::wBool},
    {"_stream", TWant::wNumber},
    {"_framesLeftOut", TWant::wNumber},
    {"_frames", TWant::wArray},
    {"_frames[]", TWant::wObject},
    {"_frames[].direction", TWant::wString},
    {"_frames[].type", TWant::wString},
    {"_frames[].flags", TWant::wString},
    {"_frames[].stream", TWant::wNumber},
    {"_frames[].length", TWant::wNumber},
    {"_frames[].time", TWant::wNumber},
    {"_frames[].headers", TWant::wString},
    {"_frames[].errorCode", TWant::wString},
    {"_frames[].lastStream", TWant::wNumber},
    {"_frames[].detail", TWant::wString},
};

const TKnownField* Known(std::string_view Path) {
  for (const TKnownField& F : KnownFields)
    if (Path == F.Path) return &F;
  return nullptr;
}

std::optional<std::chrono::system_clock::time_point> IsoTime(const std::string& Text);

// Seconds since 1970 of a certificate's date as THarWriter writes it; 0 (as an unread
// certificate has) when the text is no date.
std::int64_t Seconds(const std::string& Text) {
  return CertificateTime::FromIsoText(Text).value_or(0);
}

// One scalar of _tls (Path after "_tls."). The object itself made E.Tls, each chain element
// its certificate. A boolean comes as 1 or 0.
void StoreTls(TRawEntry& E, std::string_view Path, std::string* Text, double Number) {
  TTlsFacts& F = *E.Tls;
  if (Path == "resumed") F.Resumed = Number != 0;
  else if (Path == "verified") E.TlsVerified = Number != 0;
  else if (Path == "waived") F.VerifyWaived = Number != 0;
  else if (Path == "reason") E.TlsReason = std::move(*Text);
  else if (Path.rfind("chain[].", 0) != 0) {
    for (auto [Name, Into] : {std::pair{"version", &F.Version}, {"cipher", &F.Cipher},
                              {"group", &F.Group}, {"alpn", &F.Alpn}, {"sni", &F.Sni}})
      if (Path == Name) *Into = std::move(*Text);
  } else {
    TTlsCertificate& C = F.Chain.back();
    Path.remove_prefix(8);
    if (Path == "dnsNames[]") C.DnsNames.push_back(std::move(*Text));
    else if (Path == "ipAddresses[]") C.IpAddresses.push_back(std::move(*Text));
    else if (Path == "notBefore") C.NotBefore = Seconds(*Text);
    else if (Path == "notAfter") C.NotAfter = Seconds(*Text);
    else if (Path == "ca") C.IsCa = Number != 0;
    else if (Path == "keyBits") C.KeyBits = Number >= 0 && Number < 1e6 ? static_cast<int>(Number) : 0;
    else
      for (auto [Name, Into] :
           {std::pair{"subject", &C.Subject}, {"issuer", &C.Issuer}, {"serial", &C.Serial},
            {"sha256", &C.Sha256}, {"keyType", &C.KeyType}, {"commonName", &C.CommonName},
            {"issuerCommonName", &C.IssuerCommonName},
            {"signatureAlgorithm", &C.SignatureAlgorithm}})
        if (Path == Name) *Into = std::move(*Text);
  }
}

// One scalar of a frame (Path after "_frames[].").
void StoreFrame(TRawFrame& F, std::string_view Path, std::string* Text, double Number) {
  for (auto [Name, Into] : {std::pair{"direction", &F.Direction}, {"type", &F.Type},
                            {"flags", &F.Flags}, {"headers", &F.Headers},
                            {"errorCode", &F.ErrorCode}, {"detail", &F.Detail}})
    if (Path == Name) *Into = std::move(*Text);
  for (auto [Name, Into] : {std::pair{"stream", &F.Stream}, {"length", &F.Length},
                            {"lastStream", &F.LastStream}, {"time", &F.Time}})
    if (Path == Name) *Into = Number;
}

// One scalar of an entry stored where it belongs. Text is moved from when it is taken.
void Store(TRawEntry& E, std::string_view Path, std::string* Text, double Number) {
  const auto Take = [Text](std::optional<std::string>& Into) { Into = std::move(*Text); };
  if (Path == "startedDateTime") Take(E.Started);
  else if (Path == "request.method") Take(E.Method);
  else if (Path == "request.url") Take(E.URL);
  else if (Path == "request.httpVersion") Take(E.RequestVersion);
  else if (Path == "request.headers[].name") Take(E.RequestFields.back().Name);
  else if (Path == "request.headers[].value") Take(E.RequestFields.back().Value);
  else if (Path == "request.postData.text") Take(E.PostText);
  else if (Path == "request.postData._encoding" || Path == "request.postData.encoding")
    Take(E.PostEncoding);
  else if (Path == "request.bodySize") E.RequestBodySize = Number;
  else if (Path == "response.status") E.Status = Number;
  else if (Path == "response.statusText") Take(E.StatusText);
  else if (Path == "response.httpVersion") Take(E.ReplyVersion);
  else if (Path == "response.headers[].name") Take(E.ReplyFields.back().Name);
  else if (Path == "response.headers[].value") Take(E.ReplyFields.back().Value);
  else if (Path == "response.content.text") Take(E.BodyText);
  else if (Path == "response.content.encoding") Take(E.BodyEncoding);
  else if (Path == "response.content.size") E.BodySize = Number;
  else if (Path == "response.content.compression") E.Compression = Number;
  else if (Path == "response.bodySize") E.WireSize = Number;
  else if (Path == "response._error") Take(E.Error);
  else if (Path == "response._errorStep") Take(E.ErrorStep);
  else if (Path == "connection") Take(E.Connection);
  else if (Path == "_tunnel.request") Take(E.TunnelRequest);
  else if (Path == "_tunnel.response") Take(E.TunnelReply);
  else if (Path == "_tunnel.status") E.TunnelStatus = Number;
  else if (Path.rfind("_tls.", 0) == 0) StoreTls(E, Path.substr(5), Text, Number);
  else if (Path == "_stream") E.Stream = Number;
  else if (Path == "_framesLeftOut") E.FramesLeftOut = Number;
  else if (Path.rfind("_frames[].", 0) == 0 && !E.Frames.empty())
    StoreFrame(E.Frames.back(), Path.substr(10), Text, Number);
  else
    for (int T = htBlocked; T <= htReceive; ++T)
      if (Path == std::string("timings.") + TimingNames[T]) E.Timings[T] = Number;
}

// --- Checks and composition ------------------------------------------------------------------

bool HasLineBreak(std::string_view S) { return S.find_first_of(std::string_view("\r\n\0", 3)) != S.npos; }

bool HasBlankOrBreak(std::string_view S) {
  return S.find_first_of(std::string_view(" \t\r\n\0", 5)) != S.npos;
}

std::optional<std::string> FromBase64(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size() / 4 * 3);
  std::uint32_t Bits = 0;
  int Count = 0;
  std::size_t Pad = 0;
  for (const char C : Text) {
    int V = -1;
    if (C >= 'A' && C <= 'Z') V = C - 'A';
    else if (C >= 'a' && C <= 'z') V = C - 'a' + 26;
    else if (C >= '0' && C <= '9') V = C - '0' + 52;
    else if (C == '+') V = 62;
    else if (C == '/') V = 63;
    else if (C == '=') { ++Pad; continue; }
    else if (C == '\r' || C == '\n' || IsBlank(C)) continue;
    if (V < 0 || Pad > 0) return std::nullopt;  // a stray byte, or data after the padding
    Bits = (Bits << 6) | static_cast<std::uint32_t>(V);
    if (++Count == 4) {
      Out += static_cast<char>(Bits >> 16);
      Out += static_cast<char>(Bits >> 8);
      Out += static_cast<char>(Bits);
      Bits = 0;
      Count = 0;
    }
  }
  if (Count == 1 || Pad > 2) return std::nullopt;
  if (Count == 2) Out += static_cast<char>(Bits >> 4);
  if (Count == 3) {
    Out += static_cast<char>(Bits >> 10);
    Out += static_cast<char>(Bits >> 2);
  }
  return Out;
}

// "2026-12-08T15:04:05.123+01:00" (or with "Z", or without milliseconds); nothing when the
// text is not of that form.
std::optional<std::chrono::system_clock::time_point> IsoTime(const std::string& Text) {
  std::tm T{};
  int Consumed = 0;
  if (std::sscanf(Text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &T.tm_year, &T.tm_mon, &T.tm_mday,
                  &T.tm_hour, &T.tm_min, &T.tm_sec, &Consumed) != 6)
    return std::nullopt;
  std::string_view Rest = std::string_view(Text).substr(static_cast<std::size_t>(Consumed));
  double Fraction = 0;
  if (!Rest.empty() && Rest[0] == '.') {
    double Scale = 0.1;
    for (Rest.remove_prefix(1); !Rest.empty() && Rest[0] >= '0' && Rest[0] <= '9';
         Rest.remove_prefix(1), Scale /= 10)
      Fraction += (Rest[0] - '0') * Scale;
  }
  long Offset = 0;
  int Hours = 0, Minutes = 0;
  if ((Rest.size() == 6 || Rest.size() == 5) && (Rest[0] == '+' || Rest[0] == '-') &&
      std::sscanf(std::string(Rest.substr(1)).c_str(), "%2d:%2d", &Hours, &Minutes) == 2)
    Offset = (Rest[0] == '-' ? -1 : 1) * (Hours * 3600L + Minutes * 60L);
  else if (Rest != "Z" && !Rest.empty())
    return std::nullopt;
  // Beyond these a time point of the clock would overflow; no recording is of such a date.
  if (T.tm_year < 1900 || T.tm_year > 2200 || T.tm_mon < 1 || T.tm_mon > 12 || T.tm_mday < 1 ||
      T.tm_mday > 31 || T.tm_hour > 23 || T.tm_min > 59 || T.tm_sec > 60 || Hours > 23 ||
      Minutes > 59 || T.tm_hour < 0 || T.tm_min < 0 || T.tm_sec < 0 || Hours < 0 || Minutes < 0)
    return std::nullopt;
  T.tm_year -= 1900;
  T.tm_mon -= 1;
  const std::time_t Utc = ::timegm(&T) - Offset;
  using namespace std::chrono;
  return system_clock::from_time_t(Utc) +
         duration_cast<system_clock::duration>(duration<double>(Fraction));
}

TSockStep StepNamed(std::string_view Name) {
  for (TSockStep S : {TSockStep::ssLookUp, TSockStep::ssConnect, TSockStep::ssHandshake,
                      TSockStep::ssCertificate, TSockStep::ssSend, TSockStep::ssReceive})
    if (Name == SockStepName(S)) return S;
  return TSockStep::ssNone;
}

bool LaterVersion(std::string_view Version) {
  return StartsWithNoCase(Version, "HTTP/2") || StartsWithNoCase(Version, "HTTP/3") ||
         SameNoCase(Version, "h2") || SameNoCase(Version, "h3");
}

// The names HAR writers give HTTP/2: "h2" (Chrome, and THarWriter), "HTTP/2" (Firefox),
// "HTTP/2.0" (older ones), in any case.
bool NamesHttp2(std::string_view Version) {
  return SameNoCase(Version, "h2") || SameNoCase(Version, "HTTP/2") ||
         SameNoCase(Version, "HTTP/2.0");
}

bool NamesHttp3(std::string_view Version) {
  return SameNoCase(Version, "h3") || StartsWithNoCase(Version, "HTTP/3");
}

// The entry's place and a field of it, as the errors name them.
std::string Place(std::size_t Index, std::string_view Field) {
  return "log.entries[" + std::to_string(Index) + "]" + (Field.empty() ? "" : ".") +
         std::string(Field);
}

// The fields of a request or a reply, checked; pseudo-header fields (":path") dropped. A reply
// value may hold several lines of one name joined by LF (as some browsers write Set-Cookie):
// each becomes a field of its own. Returns the first fault, "" when none.
std::string CheckedFields(const std::vector<TRawField>& Raw, const std::string& Side, bool Reply,
                          std::vector<THeaderField>& Out, bool& Pseudo) {
  for (std::size_t I = 0; I < Raw.size(); ++I) {
    const std::string Field = Side + ".headers[" + std::to_string(I) + "]";
    if (!Raw[I].Name) return Field + ".name: missing";
    if (!Raw[I].Value) return Field + ".value: missing";
    const std::string& Name = *Raw[I].Name;
    const std::string_view Value = *Raw[I].Value;
    const bool IsPseudo = !Name.empty() && Name[0] == ':';
    if (!THarReader::IsToken(IsPseudo ? std::string_view(Name).substr(1) : Name))
      return Field + ".name: not a token";
    if (IsPseudo) {
      Pseudo = true;
      continue;
    }
    std::string_view Rest = Value;
    for (;;) {
      const auto End = Reply ? Rest.find('\n') : std::string_view::npos;
      std::string_view Line = Rest.substr(0, End);
      if (Reply && !Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
      if (HasLineBreak(Line)) return Field + ".value: holds CR, LF or NUL";
      if (!TrimBlanks(Line).empty() || End == std::string_view::npos)
        Out.push_back({Name, std::string(TrimBlanks(Line))});
      if (End == std::string_view::npos) break;
      Rest.remove_prefix(End + 1);
    }
  }
  return "";
}

struct TUrlParts {
  std::string URL;        // without user and fragment
  std::string Authority;  // host and port, for Host
  std::string Target;     // path and query, for the request line
};

// The user and the fragment left out; the host and port as written, whatever they are.
std::optional<TUrlParts> UrlParts(std::string_view URL) {
  const THttpUrl U = THttpUrl::SplitServer(URL);
  const std::string Authority = U.HostPort();
  if (!U.HasAuthority || !THttpUrl::IsWebScheme(U.Scheme) || Authority.empty()) return std::nullopt;
  return TUrlParts{U.Scheme + "://" + Authority + U.Path + (U.HasQuery ? "?" + U.Query : ""),
                   Authority, U.Target()};
}

// The request line, its fields and its body; "" or the first fault.
std::string ComposeRequest(TRawEntry& E, THarEntry& Out) {
  if (!E.Method) return "request.method: missing";
  if (!THarReader::IsToken(*E.Method)) return "request.method: not a token";
  TExchangePass& P = Out.Pass;
  // Kept as soon as they are sound, so that an entry refused for a later field is still
  // shown by its method and URL.
  P.Method = *E.Method;
  if (!E.URL) return "request.url: missing";
  if (HasBlankOrBreak(*E.URL)) return "request.url: holds a blank, CR, LF or NUL";
  std::optional<TUrlParts> Url;
  try {
    Url = UrlParts(*E.URL);
  } catch (const EHttpUrlError& Refused) {
    return std::string("request.url: ") + Refused.what();
  }
  if (!Url) return "request.url: not an absolute http or https URL";
  P.URL = Url->URL;
  const std::string Version = E.RequestVersion.value_or("");
  if (HasBlankOrBreak(Version)) return "request.httpVersion: holds a blank, CR, LF or NUL";
  std::vector<THeaderField> Fields;
  bool Pseudo = false;
  if (std::string Fault = CheckedFields(E.RequestFields, "request", false, Fields, Pseudo);
      !Fault.empty())
    return Fault;
  const std::string ReplyVersion = E.ReplyVersion.value_or("");
  Out.Http2 = Pseudo || LaterVersion(Version) || LaterVersion(ReplyVersion);
  // An entry of HTTP/2 gets the line the record keeps for a pass spoken in it, whatever the
  // name its file gives the version; one of HTTP/3 keeps the file's. The line keeps its three
  // parts when the version is missing, as the status line does, so that its words stay where
  // a reader of the line looks for them.
  const bool Spoken3 = NamesHttp3(Version) || NamesHttp3(ReplyVersion);
  P.RequestHeader = P.Method + " " + Url->Target + " " +
                    (Out.Http2 && !Spoken3 ? "HTTP/2" : Version) + "\r\n";
  bool HasHost = false;
  for (THeaderField& F : Fields) {
    HasHost = HasHost || SameNoCase(F.Name, "Host");
    P.RequestHeader += F.Name + ": " + F.Value + "\r\n";
    (THarReader::ComposedField(F.Name) ? Out.Composed : Out.Fields).push_back(std::move(F));
  }
  if (Out.Http2 && !HasHost) {
    P.RequestHeader += "Host: " + Url->Authority + "\r\n";
    Out.Composed.push_back({"Host", Url->Authority});
  }
  P.RequestHeader += "\r\n";
  if (E.PostText) {
    const bool Coded = E.PostEncoding && SameNoCase(*E.PostEncoding, "base64");
    std::optional<std::string> Body = Coded ? FromBase64(*E.PostText) : std::move(E.PostText);
    if (!Body) return "request.postData.text: not Base64";
    P.RequestBody = std::move(*Body);
  }
  const double Size = E.RequestBodySize.value_or(-1);
  P.RequestBodySize = std::max(static_cast<std::int64_t>(P.RequestBody.size()),
                               Size > 0 ? static_cast<std::int64_t>(Size) : std::int64_t{0});
  return "";
}

// The reply head and its body; "" or the first fault.
std::string ComposeReply(TRawEntry& E, THarEntry& Out) {
  TExchangePass& P = Out.Pass;
  const double Status = E.Status.value_or(0);
  if (Status < 0 || Status > 999 || Status != std::floor(Status))
    return "response.status: not a status code";
  P.ReplyNumber = static_cast<int>(Status);
  std::string Version = E.ReplyVersion.value_or("");
  // As the component gives an HTTP/2 reply's head: "HTTP/2 200 ", the version so named.
  if (NamesHttp2(Version) || (Version.empty() && NamesHttp2(E.RequestVersion.value_or(""))))
    Version = "HTTP/2";
  // A browser's HTTP/2 entry may list the status among its fields only.
  if (P.ReplyNumber == 0)
    for (const TRawField& F : E.ReplyFields)
      if (F.Name == ":status" && F.Value && F.Value->size() == 3 &&
          F.Value->find_first_not_of("0123456789") == std::string::npos)
        P.ReplyNumber = std::stoi(*F.Value);
  const std::string Reason = E.StatusText.value_or("");
  if (HasBlankOrBreak(Version)) return "response.httpVersion: holds a blank, CR, LF or NUL";
  if (HasLineBreak(Reason)) return "response.statusText: holds CR, LF or NUL";
  std::vector<THeaderField> Fields;
  bool Pseudo = false;
  if (std::string Fault = CheckedFields(E.ReplyFields, "response", true, Fields, Pseudo);
      !Fault.empty())
    return Fault;
  if (P.ReplyNumber > 0) {
    const std::string Code = std::string(P.ReplyNumber < 100 ? 1 : 0, '0') +
                             (P.ReplyNumber < 10 ? "0" : "") + std::to_string(P.ReplyNumber);
    P.ReplyHeader = Version + " " + Code + " " + Reason + "\r\n";
    for (const THeaderField& F : Fields) P.ReplyHeader += F.Name + ": " + F.Value + "\r\n";
    P.ReplyHeader += "\r\n";
  }
  if (E.BodyText) {
    Out.BodyGiven = true;
    const bool Coded = E.BodyEncoding && SameNoCase(*E.BodyEncoding, "base64");
    std::optional<std::string> Body = Coded ? FromBase64(*E.BodyText) : std::move(E.BodyText);
    E.BodyText.reset();
    if (!Body) return "response.content.text: not Base64";
    P.Body = std::move(*Body);
    Out.BodyBase64 = Coded;
  }
  // A size above the text's says the text holds only the body's start.
  const double Size = E.BodySize.value_or(-1);
  P.BodyBytes = std::max(static_cast<std::int64_t>(P.Body.size()),
                         Size > 0 ? static_cast<std::int64_t>(Size) : std::int64_t{0});
  // A compression says the body was decoded: content.size is then its decoded size, and the
  // bytes on the wire are bodySize (or the difference, without one).
  const double Wire = E.WireSize.value_or(-1);
  const bool WireRead = Wire >= 0 && Wire < 9e18;
  if (E.Compression && std::abs(*E.Compression) < 9e18 &&
      (WireRead || *E.Compression <= static_cast<double>(P.BodyBytes))) {
    P.DecodedBytes = P.BodyBytes;
    P.BodyBytes = WireRead ? static_cast<std::int64_t>(Wire)
                           : P.BodyBytes - static_cast<std::int64_t>(*E.Compression);
  }
  if (P.Body.size() > E.BodyKept) {
    P.Body = P.Body.substr(0, E.BodyKept);  // a copy of its own: the whole text is let go
    Out.BodyAt = E.TextAt;
  }
  return "";
}

// Stage times from the timings given (-1 or absent: not reached). A connect left out while the
// request was sent means the connection stood already: a reused one, as the writer tells it.
void ComposeTimes(const TRawEntry& E, THarEntry& Out) {
  TExchangePass& P = Out.Pass;
  const auto Given = [&E](THarTiming T) -> std::optional<double> {
    if (E.Timings[T] && *E.Timings[T] >= 0) return E.Timings[T];
    return std::nullopt;
  };
  Out.Blocked = Given(htBlocked);
  double Now = 0;
  const auto Reach = [&Now](std::optional<double>& Stage, double Length) {
    Now += Length;
    Stage = Now;
  };
  if (const auto Dns = Given(htDns)) Reach(P.At[xsLookedUp], *Dns);
  const auto Connect = Given(htConnect);
  const auto Ssl = Given(htSsl);
  const auto Send = Given(htSend);
  if (Connect) {
    const double Tls = Ssl ? std::min(*Ssl, *Connect) : 0;
    Reach(P.At[xsConnected], *Connect - Tls);
    if (Ssl) Reach(P.SecuredAt, Tls);
  } else if (Send) {
    P.ConnectionReused = true;
  }
  // HAR's connection is a string of the writer's choosing; a number that fits is kept.
  if (const auto& C = E.Connection; C && !C->empty() && C->size() <= 9 &&
                                    C->find_first_not_of("0123456789") == std::string::npos)
    P.Connection = std::stoi(*C);
  if (!Send) return;
  Reach(P.At[xsRequestSent], *Send);
  const auto Wait = Given(htWait);
  if (!Wait) return;
  Reach(P.At[xsStatusLine], *Wait);
  if (P.ReplyNumber == 0) return;
  // The head's own end is not in the file; it came whole at the latest with its first byte.
  P.At[xsHeaderEnd] = P.At[xsStatusLine];
  if (const auto Receive = Given(htReceive)) {
    Reach(P.At[xsBodyEnd], *Receive);
    P.EndedAt = Now;
  }
}

// The error that ended the pass, unless it only says the body was short (THarWriter writes
// that too, for a pass that ran to its end). The stage in progress then was not reached: its
// time is where the pass ended.
void ComposeError(const TRawEntry& E, TExchangePass& P) {
  if (!E.Error || E.Error->empty() || *E.Error == P.ShortBodyError()) return;
  P.Error = *E.Error;
  P.ErrorStep = StepNamed(E.ErrorStep.value_or(""));
  double Latest = 0;
  for (const auto& Stage : P.At)
    if (Stage) Latest = std::max(Latest, *Stage);
  if (P.SecuredAt) Latest = std::max(Latest, *P.SecuredAt);
  P.EndedAt = Latest;
  if (!P.At[xsConnected] && !P.ConnectionReused) return;
  for (const TExchangeStage S : {xsBodyEnd, xsStatusLine, xsRequestSent}) {
    if (!P.At[S]) continue;
    P.At[S].reset();
    if (S == xsStatusLine) P.At[xsHeaderEnd].reset();
    return;
  }
}

// The session as the file tells it. Its reason comes in words only: kept as tpOther's
// words, with a check result no check gives, so that the writer writes them as they were
// read. Whether the handshake was done is known only when the check passed or was waived.
void ComposeTls(TRawEntry& E, TExchangePass& P) {
  if (E.TunnelRequest) P.TunnelRequest = std::move(*E.TunnelRequest);
  if (E.TunnelReply) P.TunnelReply = std::move(*E.TunnelReply);
  if (E.TunnelStatus && *E.TunnelStatus >= 0 && *E.TunnelStatus <= 999)
    P.TunnelStatus = static_cast<int>(*E.TunnelStatus);
  if (!E.Tls) return;
  TTlsFacts& F = *E.Tls;
  for (TTlsCertificate& C : F.Chain) C.SelfIssued = !C.Subject.empty() && C.Subject == C.Issuer;
  const bool Verified = E.TlsVerified.value_or(false);
  F.Outcome.HandshakeDone = Verified || (F.VerifyWaived && P.At[xsRequestSent].has_value());
  F.Outcome.Checked = Verified && !F.VerifyWaived;
  F.Outcome.VerifyResult = Verified ? 0 : RecordedVerifyResult;
  if (E.TlsReason && !E.TlsReason->empty()) {
    F.Reason.Problem = TTlsProblem::tpOther;
    F.Reason.Detail = std::move(*E.TlsReason);
  }
  P.Tls = std::move(F);
}

// The frames as THarWriter writes them, each type, flag and error code read back from its
// name; a frame whose type does not read is left out, since it is only shown.
void ComposeFrames(TRawEntry& E, TExchangePass& P) {
  const auto Count = [](const std::optional<double>& N, double Max) {
    return N && *N >= 0 && *N <= Max ? static_cast<std::int64_t>(*N) : std::int64_t{0};
  };
  if (E.Stream) P.Stream = static_cast<int>(Count(E.Stream, 0x7FFFFFFF));
  P.FramesLeftOut = Count(E.FramesLeftOut, 9e15);
  for (TRawFrame& R : E.Frames) {
    if (P.Frames.size() >= TExchangePass::MaxFrames) {
      ++P.FramesLeftOut;
      continue;
    }
    THttp2Frame F;
    if (!R.Type) continue;
    int Type = -1;
    for (int T = THttp2Frame::ftData; T <= THttp2Frame::ftContinuation; ++T)
      if (*R.Type == Http2Names::FrameType(static_cast<std::uint8_t>(T))) Type = T;
    if (unsigned N = 0; Type < 0 && std::sscanf(R.Type->c_str(), "UNKNOWN(%u)", &N) == 1 && N < 256)
      Type = static_cast<int>(N);
    if (Type < 0) continue;
    F.Type = static_cast<std::uint8_t>(Type);
    F.Sent = R.Direction == "sent";
    const std::string Named = R.Flags.value_or("");
    std::string_view Flags = Named;
    while (!Flags.empty()) {
      const std::string_view Name = Flags.substr(0, Flags.find('|'));
      for (int Bit = 0; Bit < 8; ++Bit)
        if (Name == Http2Names::Flags(F.Type, static_cast<std::uint8_t>(1 << Bit)))
          F.Flags |= static_cast<std::uint8_t>(1 << Bit);
      Flags.remove_prefix(std::min(Flags.size(), Name.size() + 1));
    }
    F.Stream = static_cast<std::int32_t>(Count(R.Stream, 0x7FFFFFFF));
    F.Length = static_cast<std::uint32_t>(Count(R.Length, 0xFFFFFF));
    F.LastStream = static_cast<std::int32_t>(Count(R.LastStream, 0x7FFFFFFF));
    if (R.ErrorCode) {
      if (R.ErrorCode->rfind("0x", 0) == 0)
        F.ErrorCode =
            static_cast<std::uint32_t>(std::strtoul(R.ErrorCode->c_str() + 2, nullptr, 16));
      for (std::uint32_t C = 0; C <= 0xd; ++C)
        if (*R.ErrorCode == Http2Names::ErrorCode(C)) F.ErrorCode = C;
    }
    if (R.Headers) F.Headers = std::move(*R.Headers);
    if (R.Detail) F.Detail = std::move(*R.Detail);
    P.Frames.push_back(std::move(F));
    P.FrameTimes.push_back(R.Time && std::isfinite(*R.Time) ? *R.Time : 0);
  }
}

THarEntry Compose(TRawEntry& E) {
  THarEntry Out;
  Out.Index = E.Index;
  // Both sides are composed whatever was found before, for what can be shown; the first
  // fault found is the one named.
  std::string Fault = E.Refused;
  const std::string ReplyFault = ComposeReply(E, Out);
  const std::string RequestFault = ComposeRequest(E, Out);
  if (Fault.empty()) Fault = ReplyFault;
  if (Fault.empty()) Fault = RequestFault;
  if (E.Started)
    if (const auto Time = IsoTime(*E.Started)) Out.Pass.StartedAt = *Time;
  ComposeTimes(E, Out);
  ComposeError(E, Out.Pass);
  ComposeTls(E, Out.Pass);
  ComposeFrames(E, Out.Pass);
  if (!Fault.empty()) {
    Out.Refused = Fault.rfind("log.entries[", 0) == 0 ? Fault : Place(E.Index, Fault);
    Out.Fields.clear();
    Out.Composed.clear();
    Out.Pass.RequestHeader.clear();
    Out.Pass.RequestBody.clear();
  }
  return Out;
}

// --- The SAX side ----------------------------------------------------------------------------

// Whether the token the parser stopped at is blanks only (or nothing): the parser writes a
// control character of it as "<U+000A>".
bool BlankToken(std::string_view Token) {
  while (!Token.empty()) {
    const bool Marked = Token.size() >= 8 && Token.rfind("<U+000", 0) == 0 && Token[7] == '>';
    if (Marked ? std::string_view("9AD").find(Token[6]) == Token.npos : Token[0] != ' ') return false;
    Token.remove_prefix(Marked ? 8 : 1);
  }
  return true;
}

// Frames deeper than this are only counted: no field of a pass lies so deep, and a hostile
// nesting then costs no memory per level.
constexpr std::size_t MaxFrames = 16;

class THarSax : public nlohmann::json_sax<TJson> {
 public:
  // Where, when given, tells the byte of the file the parser has read up to.
  THarSax(THarLog& ALog, std::size_t ABodyKept, std::function<std::uint64_t()> AWhere,
          const THarProgress* AProgress)
      : Log(ALog), BodyKept(ABodyKept), Where(std::move(AWhere)), Progress(AProgress) {}

  bool null() override { return Scalar(nullptr, 0, TGot::gNull); }
  bool boolean(bool V) override { return Scalar(nullptr, V ? 1 : 0, TGot::gBool); }
  bool number_integer(number_integer_t V) override { return Number(static_cast<double>(V)); }
  bool number_unsigned(number_unsigned_t V) override { return Number(static_cast<double>(V)); }
  bool number_float(number_float_t V, const string_t&) override { return Number(V); }
  bool string(string_t& V) override { return Scalar(&V, 0, TGot::gString); }
  bool binary(binary_t&) override { return Scalar(nullptr, 0, TGot::gOther); }
  bool start_object(std::size_t) override { return Open(false); }
  bool start_array(std::size_t) override { return Open(true); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& Key) override {
    if (Deeper > 0) return true;
    Stack.back().Key = std::move(Key);
    // The parser stands right after the key's closing quote: the value follows its colon.
    if (Entry && Where && Stack.size() == 6 && Stack[3].Key == "response" &&
        Stack[4].Key == "content" && Stack[5].Key == "text")
      Entry->TextAt = Where();
    return true;
  }
  bool parse_error(std::size_t Position, const std::string&,
                   const nlohmann::detail::exception& Ex) override;

  // Called once the text ended: the file must have held log.entries.
  void Finish();

 private:
  struct TFrame {
    bool Array = false;
    std::string Key;        // of the member being read, for an object
    std::size_t Count = 0;  // elements begun, for an array
  };

  THarLog& Log;
  std::size_t BodyKept;
  std::function<std::uint64_t()> Where;
  const THarProgress* Progress;
  bool Began = false;  // a value of the document was begun
  std::vector<TFrame> Stack;
  std::size_t Deeper = 0;  // levels skipped: below MaxFrames, or an entry that is no object
  bool SawEntries = false;
  std::optional<TRawEntry> Entry;

  // The kind of scalar read. A null is a field not given; a boolean is none of the values a
  // pass keeps.
  enum class TGot : std::uint8_t { gNull, gString, gNumber, gBool, gOther };
  bool Number(double V) { return Scalar(nullptr, V, TGot::gNumber); }
  bool Scalar(std::string* Text, double Value, TGot Got);
  bool Open(bool Array);
  bool Close();
  void BeginValue() {
    if (!Stack.empty() && Stack.back().Array) ++Stack.back().Count;
  }
  bool InEntries() const {
    return Stack.size() >= 3 && !Stack[0].Array && Stack[0].Key == "log" && !Stack[1].Array &&
           Stack[1].Key == "entries" && Stack[2].Array;
  }
  // The path of the value being read, from the entry: "request.headers[2].name", or with
  // Generic "request.headers[].name".
  std::string FieldPath(bool Generic) const;
  // An element of log.entries that is no object: kept as a refused entry, so that the places of
  // the others stay theirs.
  void NotAnObject() {
    THarEntry Refused;
    Refused.Index = Stack[2].Count - 1;
    Refused.Refused = Place(Refused.Index, "") + ": an object expected";
    Log.Entries.push_back(std::move(Refused));
  }
  void Refuse(const std::string& Why) {
    if (Entry && Entry->Refused.empty()) Entry->Refused = Place(Entry->Index, FieldPath(false)) + ": " + Why;
  }
};

std::string THarSax::FieldPath(bool Generic) const {
  std::string Path;
  for (std::size_t I = 3; I < Stack.size(); ++I) {
    if (Stack[I].Array) {
      Path += Generic ? "[]" : "[" + std::to_string(Stack[I].Count - 1) + "]";
    } else {
      if (!Path.empty()) Path += '.';
      Path += Stack[I].Key;
    }
  }
  return Path;
}

bool THarSax::Scalar(std::string* Text, double Value, TGot Got) {
  if (Deeper > 0) return true;
  Began = true;
  BeginValue();
  if (Stack.size() == 3 && Stack[0].Key == "log" && Stack[1].Key == "creator" &&
      Stack[2].Key == "name" && Text)
    Log.Creator = *Text;
  if (InEntries() && Stack.size() == 3) NotAnObject();
  if (!Entry || Stack.size() < 4) return true;
  const std::string Path = FieldPath(true);
  const TKnownField* Field = Known(Path);
  if (!Field || Got == TGot::gNull) return true;
  if (!(Field->Want == TWant::wString && Got == TGot::gString) &&
      !(Field->Want == TWant::wNumber && Got == TGot::gNumber) &&
      !(Field->Want == TWant::wBool && Got == TGot::gBool)) {
    Refuse(Expected(Field->Want));
    return true;
  }
  Store(*Entry, Path, Text, Value);
  return true;
}

bool THarSax::Open(bool Array) {
  if (Deeper > 0 || Stack.size() >= MaxFrames) {
    ++Deeper;
    return true;
  }
  BeginValue();
  Began = true;
  if (Stack.empty() && Array) {
    Log.Error = "not a HAR: the document is no object";
    Log.Fault = THarFault::hfNotHar;
    return false;
  }
  if (InEntries() && Stack.size() == 3) {
    SawEntries = true;
    if (Array) {
      NotAnObject();
      ++Deeper;
      return true;
    }
    Entry.emplace();
    Entry->Index = Stack[2].Count - 1;
    Entry->BodyKept = BodyKept;
  } else if (Entry && Stack.size() >= 4) {
    const std::string Path = FieldPath(true);
    if (const TKnownField* Field = Known(Path);
        Field && Field->Want != (Array ? TWant::wArray : TWant::wObject))
      Refuse(Expected(Field->Want));
    if (!Array && Path == "request.headers[]") Entry->RequestFields.emplace_back();
    if (!Array && Path == "response.headers[]") Entry->ReplyFields.emplace_back();
    if (!Array && Path == "_tls") Entry->Tls.emplace();
    if (!Array && Path == "_tls.chain[]" && Entry->Tls) Entry->Tls->Chain.emplace_back();
    if (!Array && Path == "_frames[]") Entry->Frames.emplace_back();
  } else if (Stack.size() == 2 && !Stack[0].Array && Stack[0].Key == "log" &&
             !Stack[1].Array && Stack[1].Key == "entries") {
    // A second list (a key given twice) would give its entries the places of the first's.
    if (SawEntries) {
      Log.Error = "log.entries: given twice";
      Log.Fault = THarFault::hfTwice;
      return false;
    }
    SawEntries = Array;
    if (!Array) {
      Log.Error = "log.entries: an array expected";
      Log.Fault = THarFault::hfNotHar;
      return false;
    }
  }
  Stack.push_back({Array, {}, 0});
  return true;
}

bool THarSax::Close() {
  if (Deeper > 0) {
    --Deeper;
    return true;
  }
  Stack.pop_back();
  if (Entry && Stack.size() == 3) {
    Log.Entries.push_back(Compose(*Entry));
    Entry.reset();
  }
  return true;
}

bool THarSax::parse_error(std::size_t Position, const std::string& LastToken,
                          const nlohmann::detail::exception& Ex) {
  std::string What = Ex.what();
  if (const auto Bracket = What.find("] "); What.rfind("[json.", 0) == 0 && Bracket != What.npos)
    What.erase(0, Bracket + 2);
  // The parser quotes the token it stopped in, which may be a body of megabytes.
  constexpr std::size_t MaxQuoted = 64;
  if (const auto Quote = What.find("last read: '"); Quote != What.npos && What.size() - Quote > 12 + MaxQuoted + 1)
    What = What.substr(0, Quote + 12 + MaxQuoted) + "...'";
  const std::string Spot = Entry ? Place(Entry->Index, FieldPath(false)) : "the file";
  Log.Error = Spot + ": broken at byte " + std::to_string(Position) + ": " + What;
  Log.FaultByte = Position;
  Log.InEntry = Entry.has_value();
  // The text's end (blanks only before it) ends an empty file; a NUL is no end of text.
  Log.Fault = !Began && BlankToken(LastToken) ? THarFault::hfEmpty : THarFault::hfSyntax;
  if (Progress && Progress->Stop.load(std::memory_order_relaxed)) {
    Log.Error = "stopped";
    Log.Fault = THarFault::hfStopped;
  }
  if (Entry) {
    if (Entry->Refused.empty()) Entry->Refused = Log.Error;
    Log.Entries.push_back(Compose(*Entry));
    Entry.reset();
  }
  return false;
}

void THarSax::Finish() {
  if (!Log.Error.empty() || SawEntries) return;
  Log.Error = "not a HAR: no log.entries";
  Log.Fault = THarFault::hfNotHar;
}

template <class TInput>
THarLog ReadFrom(TInput&& Input, std::size_t BodyKept = std::numeric_limits<std::size_t>::max(),
                 std::function<std::uint64_t()> Where = {}, const THarProgress* Progress = nullptr) {
  THarLog Log;
  THarSax Sax(Log, BodyKept, std::move(Where), Progress);
  TJson::sax_parse(std::forward<TInput>(Input), &Sax);
  Sax.Finish();
  return Log;
}

// A file read through a buffer of its own: it counts the bytes for a watcher, tells the
// parser's place in the file, and ends the text early once the watcher asks to stop.
class TFileBuffer : public std::streambuf {
 public:
  TFileBuffer(int AFd, std::uint64_t At, THarProgress* AProgress)
      : Fd(AFd), Offset(At), Progress(AProgress) {}
  // The byte the reader of the buffer stands at.
  std::uint64_t Position() const { return Offset - static_cast<std::uint64_t>(egptr() - gptr()); }

 protected:
  int_type underflow() override {
    if (Progress && Progress->Stop.load(std::memory_order_relaxed)) return traits_type::eof();
    ssize_t Count = 0;
    do Count = ::read(Fd, Buffer, sizeof Buffer);
    while (Count < 0 && errno == EINTR);
    if (Count <= 0) return traits_type::eof();
    Offset += static_cast<std::uint64_t>(Count);
    if (Progress) Progress->Read.store(Offset, std::memory_order_relaxed);
    setg(Buffer, Buffer, Buffer + Count);
    return traits_type::to_int_type(Buffer[0]);
  }

 private:
  int Fd;
  std::uint64_t Offset;
  THarProgress* Progress;
  char Buffer[1 << 16];
};

// The one string a text begins with; anything else ends the parse with nothing.
struct TFirstString : nlohmann::json_sax<TJson> {
  std::optional<std::string> Text;
  bool null() override { return false; }
  bool boolean(bool) override { return false; }
  bool number_integer(number_integer_t) override { return false; }
  bool number_unsigned(number_unsigned_t) override { return false; }
  bool number_float(number_float_t, const string_t&) override { return false; }
  bool string(string_t& V) override {
    Text = std::move(V);
    return false;
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return false; }
  bool start_array(std::size_t) override { return false; }
  bool end_object() override { return false; }
  bool end_array() override { return false; }
  bool key(string_t&) override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

// A descriptor closed with its owner.
struct TFd {
  int Fd = -1;
  ~TFd() {
    if (Fd >= 0) ::close(Fd);
  }
};

// Opens a file to read it: never waiting for a FIFO's writer when only a regular file will
// do, and then refusing any other kind. "" or the fault, with Log's kind set.
std::string Opened(const std::string& FileName, bool RegularOnly, TFd& File, THarLog& Log) {
  File.Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | (RegularOnly ? O_NONBLOCK : 0));
  struct stat Info {};
  if (File.Fd < 0 || ::fstat(File.Fd, &Info) != 0) {
    Log.Fault = THarFault::hfOpen;
    Log.OpenError = errno;
    return std::strerror(errno);
  }
  if (!RegularOnly || S_ISREG(Info.st_mode)) return "";
  Log.Fault = S_ISDIR(Info.st_mode)    ? THarFault::hfDirectory
              : S_ISFIFO(Info.st_mode) ? THarFault::hfPipe
                                       : THarFault::hfDevice;
  return Log.Fault == THarFault::hfDirectory ? "a folder"
         : Log.Fault == THarFault::hfPipe    ? "a FIFO, not read"
                                             : "a device, not read";
}

}  // namespace

THarLog THarReader::Read(std::istream& In) { return ReadFrom(In); }

THarLog THarReader::ReadText(std::string_view Text) { return ReadFrom(Text); }

THarLog THarReader::ReadFile(const std::string& FileName, const THarReadOptions& Options) {
  THarLog Log;
  TFd File;
  if (const std::string Why = Opened(FileName, Options.RegularOnly, File, Log); !Why.empty()) {
    Log.Error = FileName + ": " + Why;
    return Log;
  }
  struct stat Info {};
  if (Options.Progress && ::fstat(File.Fd, &Info) == 0)
    Options.Progress->Size.store(static_cast<std::uint64_t>(Info.st_size), std::memory_order_relaxed);
  TFileBuffer Buffer(File.Fd, 0, Options.Progress);
  std::istream In(&Buffer);
  return ReadFrom(In, Options.BodyKept, [&Buffer] { return Buffer.Position(); }, Options.Progress);
}

std::optional<std::string> THarReader::ReadBody(const std::string& FileName, const THarEntry& Entry,
                                                THarProgress* Progress) {
  THarLog Unused;
  TFd File;
  if (Entry.BodyAt == 0 || !Opened(FileName, true, File, Unused).empty() ||
      ::lseek(File.Fd, static_cast<off_t>(Entry.BodyAt), SEEK_SET) < 0)
    return std::nullopt;
  TFileBuffer Buffer(File.Fd, Entry.BodyAt, Progress);
  std::istream In(&Buffer);
  In >> std::ws;
  if (In.get() != ':') return std::nullopt;
  TFirstString Sax;
  TJson::sax_parse(In, &Sax, TJson::input_format_t::json, false);
  if (!Sax.Text) return std::nullopt;
  std::string& Raw = *Sax.Text;
  std::optional<std::string> Body = Entry.BodyBase64 ? FromBase64(Raw) : std::move(Raw);
  if (!Body || Body->compare(0, Entry.Pass.Body.size(), Entry.Pass.Body) != 0) return std::nullopt;
  return Body;
}

bool THarReader::ComposedField(std::string_view Name) {
  return SameNoCase(Name, "Host") || SameNoCase(Name, "Content-Length") ||
         SameNoCase(Name, "Connection") || SameNoCase(Name, "Transfer-Encoding") ||
         StartsWithNoCase(Name, "Proxy-");
}

bool THarReader::IsToken(std::string_view Text) {
  if (Text.empty()) return false;
  for (const char C : Text) {
    const bool Alnum = (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
    if (!Alnum && std::string_view("!#$%&'*+-.^_`|~").find(C) == std::string_view::npos)
      return false;
  }
  return true;
}
