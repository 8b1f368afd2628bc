// -w FORMAT, rendered from the values of a run.
#include "cli/CliWriteOut.h"

#include <cinttypes>
#include <cstdio>

#include "base/AsciiText.h"
#include "inspect/HttpText.h"

namespace {

std::string Seconds(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.6f", Value > 0 ? Value : 0.0);
  return Text;
}

std::string Count(std::int64_t Value) { return std::to_string(Value); }

std::string StatusCode(int Code) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%03d", Code);
  return Text;
}

using TRender = std::string (*)(const TWriteOutValues&);
struct TVariable {
  std::string_view Name;
  TRender Render;
};

using V = TWriteOutValues;
const TVariable Variables[] = {
    {"http_code", [](const V& W) { return StatusCode(W.HttpCode); }},
    {"response_code", [](const V& W) { return StatusCode(W.HttpCode); }},
    {"url_effective", [](const V& W) { return W.UrlEffective; }},
    {"num_redirects", [](const V& W) { return Count(W.NumRedirects); }},
    {"method", [](const V& W) { return W.Method; }},
    {"exitcode", [](const V& W) { return Count(W.ExitCode); }},
    {"errormsg", [](const V& W) { return W.ErrorMsg; }},
    {"content_type", [](const V& W) { return W.ContentType; }},
    {"remote_ip", [](const V& W) { return W.RemoteIp; }},
    {"local_ip", [](const V& W) { return W.LocalIp; }},
    // Without a connection curl leaves the addresses empty but writes the ports as 0.
    {"local_port", [](const V& W) { return Count(W.LocalPort); }},
    {"remote_port", [](const V& W) { return Count(W.RemotePort); }},
    {"size_download", [](const V& W) { return Count(W.SizeDownload); }},
    {"size_header", [](const V& W) { return Count(W.SizeHeader); }},
    {"size_request", [](const V& W) { return Count(W.SizeRequest); }},
    {"size_upload", [](const V& W) { return Count(W.SizeUpload); }},
    // curl writes the speed as whole bytes per second.
    {"speed_download",
     [](const V& W) {
       return Count(W.SpeedDownload > 0 ? static_cast<std::int64_t>(W.SpeedDownload) : 0);
     }},
    {"time_namelookup", [](const V& W) { return Seconds(W.TimeNamelookup); }},
    {"time_connect", [](const V& W) { return Seconds(W.TimeConnect); }},
    {"time_appconnect", [](const V& W) { return Seconds(W.TimeAppconnect); }},
    {"ssl_verify_result", [](const V& W) { return std::to_string(W.SslVerifyResult); }},
    {"num_certs", [](const V& W) { return Count(W.NumCerts); }},
    {"scheme", [](const V& W) { return W.Scheme; }},
    {"num_connects", [](const V& W) { return Count(W.NumConnects); }},
    {"http_version", [](const V& W) { return W.HttpVersion; }},
    {"time_pretransfer", [](const V& W) { return Seconds(W.TimePretransfer); }},
    {"time_starttransfer", [](const V& W) { return Seconds(W.TimeStarttransfer); }},
    {"time_redirect", [](const V& W) { return Seconds(W.TimeRedirect); }},
    {"time_total", [](const V& W) { return Seconds(W.TimeTotal); }},
};

}  // namespace

std::string RenderWriteOut(std::string_view Format, const TWriteOutValues& Values,
                           std::vector<std::string>* Unknown) {
  std::string Out;
  for (std::size_t At = 0; At < Format.size(); ++At) {
    const char C = Format[At];
    const char Next = At + 1 < Format.size() ? Format[At + 1] : '\0';
    if (C == '\\' && (Next == 'n' || Next == 'r' || Next == 't')) {
      Out += Next == 'n' ? '\n' : Next == 'r' ? '\r' : '\t';
      ++At;
    } else if (C == '%' && Next == '%') {
      Out += '%';
      ++At;
    } else if (C == '%' && Next == '{' && Format.find('}', At + 2) != std::string_view::npos) {
      const auto Close = Format.find('}', At + 2);
      const std::string_view Name = Format.substr(At + 2, Close - At - 2);
      bool Known = false;
      for (const TVariable& Var : Variables)
        if (Var.Name == Name) {
          Out += Var.Render(Values);
          Known = true;
        }
      if (!Known && Unknown) Unknown->emplace_back(Name);
      At = Close;
    } else {
      Out += C;
    }
  }
  return Out;
}

namespace {

// "HTTP/1.1 200 OK" gives "1.1", as curl writes the version; "HTTP/2" gives "2".
std::string VersionOf(std::string_view StatusLine) {
  if (!StartsWithNoCase(StatusLine, "HTTP/")) return "0";
  const std::string_view Word = StatusLine.substr(5, StatusLine.find(' ') - 5);
  for (const std::string_view Known : {"1.0", "1.1", "2", "3"})
    if (Word == Known) return std::string(Known);
  return Word == "2.0" ? "2" : "0";
}

double SecondsBetween(std::chrono::steady_clock::time_point From,
                      std::chrono::steady_clock::time_point To) {
  return std::chrono::duration<double>(To - From).count();
}

// The values of the last pass's connection: those of the pass of the transfer that made it
// (a redirection on it keeps them, as curl keeps them); a connection kept from an earlier
// transfer made no look-up, connect or handshake here, and curl counts none.
void ConnectionValues(const std::vector<TExchangePass>& Passes,
                      std::chrono::steady_clock::time_point Origin, TWriteOutValues& Out) {
  const TExchangePass& Last = Passes.back();
  const double LastStart = SecondsBetween(Origin, Last.Started);
  const TExchangePass* Maker = &Last;
  for (auto It = Passes.rbegin() + 1; Last.ConnectionReused && It != Passes.rend(); ++It)
    if (It->Connection == Last.Connection && It->At[xsConnected]) {
      Maker = &*It;
      break;
    }
  const double MakerStart = SecondsBetween(Origin, Maker->Started);
  const std::vector<TPassSpan> MakerSpans = Maker->Spans();
  const TPassSpan* Connect = TExchangePass::Find(MakerSpans, TSpanKind::skConnect);
  // curl's time_connect is the TCP connection (to the proxy, through one), without a tunnel.
  Out.TimeConnect = Maker->At[xsConnected] ? MakerStart + *Maker->At[xsConnected] / 1000 : -1.0;
  // The name is known where the connection starts; a dotted address needs no look-up.
  Out.TimeNamelookup = Connect && Connect->Reached ? MakerStart + Connect->From / 1000
                     : Maker->At[xsLookedUp]     ? MakerStart + *Maker->At[xsLookedUp] / 1000
                                                 : -1.0;
  const TPassSpan* Tls = TExchangePass::Find(MakerSpans, TSpanKind::skTls);
  Out.TimeAppconnect = Tls && Tls->Reached ? MakerStart + Tls->To / 1000 : -1.0;
  Out.TimePretransfer = Tls ? Out.TimeAppconnect : Out.TimeConnect;
  if (Maker->ConnectionReused) Out.TimeNamelookup = Out.TimePretransfer = LastStart;
  if (Last.At[xsConnected] || Last.ConnectionReused)
    for (const char C : std::string_view(Last.URL).substr(0, Last.URL.find(':')))
      Out.Scheme += AsciiUpper(C);
  if (Out.Scheme != "HTTPS") return;
  // A kept connection's pass holds the session of its handshake, an earlier transfer's:
  // curl says 0 then, and counts no certificates.
  if (Maker->ConnectionReused) {
    Out.SslVerifyResult = 0;
    Out.NumCerts = 0;
    return;
  }
  // curl's result stays 1 until a handshake gives one, also when the settings' files
  // stopped the session before it began.
  const bool Verified = Maker->Tls && Maker->Tls->Outcome.HandshakeDone;
  Out.SslVerifyResult = Verified ? Maker->Tls->Outcome.VerifyResult : 1;
  if (Maker->Tls) Out.NumCerts = static_cast<int>(Maker->Tls->Chain.size());
}

}  // namespace

TWriteOutValues WriteOutValuesOf(const std::vector<TExchangePass>& Passes,
                                 std::chrono::steady_clock::time_point Now) {
  TWriteOutValues V;
  if (Passes.empty()) return V;
  const TExchangePass& Last = Passes.back();
  const auto Origin = Passes.front().Started;
  for (const TExchangePass& Pass : Passes) {
    // The last reply received: a pass that failed before its reply has none.
    if (Pass.ReplyNumber > 0) V.HttpCode = Pass.ReplyNumber;
    V.SizeHeader += static_cast<std::int64_t>(Pass.ReplyHeader.size());
    V.SizeRequest += static_cast<std::int64_t>(Pass.RequestHeader.size());
    V.SizeUpload += Pass.RequestBodySize;
  }
  V.UrlEffective = Last.URL;
  V.NumRedirects = static_cast<int>(Passes.size()) - 1;
  V.Method = Last.Method;
  V.ContentType =
      FieldValue(HeaderFields(FinalReply(Last.ReplyHeader), true), "Content-Type")
          .value_or(std::string());
  V.SizeDownload = Last.BodyBytes;
  V.HttpVersion = VersionOf(FinalReply(Last.ReplyHeader));
  V.Reused = Last.ConnectionReused;
  const double LastStart = SecondsBetween(Origin, Last.Started);
  // The last pass's stages reached, as points: where a span ends, or where one starts.
  const std::vector<TPassSpan> Spans = Last.Spans();
  const auto End = [&](TSpanKind Kind) {
    const TPassSpan* S = TExchangePass::Find(Spans, Kind);
    return S && S->Reached ? LastStart + S->To / 1000 : -1.0;
  };
  ConnectionValues(Passes, Origin, V);
  V.TimeStarttransfer = End(TSpanKind::skWait);
  V.TimeRedirect = Passes.size() > 1 ? LastStart : 0;
  V.TimeTotal = SecondsBetween(Origin, Now);
  V.SpeedDownload = V.TimeTotal > 0 ? static_cast<double>(V.SizeDownload) / V.TimeTotal : 0;
  return V;
}
