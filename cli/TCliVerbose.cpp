// TCliVerbose: the -v trace in curl's style, and TCliTrace, which writes it as the passes go.
#include "cli/TCliVerbose.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "base/AsciiText.h"
#include "base/BidiText.h"
#include "cli/CliTlsTrace.h"
#include "inspect/TExchangePass.h"
#include "socket/SockErrors.h"

TCliVerbose::TCliVerbose(int Level, TWriteLine WriteLine)
    : FLevel(Level), FWriteLine(std::move(WriteLine)) {}

std::string TCliVerbose::Printable(std::string_view Text) {
  static const char Hex[] = "0123456789abcdef";
  std::string Shown;
  Shown.reserve(Text.size());
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if ((Byte < 0x20 && Byte != '\t') || Byte == 0x7f) {
      Shown += "\\x";
      Shown += Hex[Byte >> 4];
      Shown += Hex[Byte & 15];
    } else {
      Shown += C;
    }
  }
  return WithVisibleBidi(Shown);
}

void TCliVerbose::Stage(std::int64_t Ms, std::string_view Text) const {
  if (FLevel < 1) return;
  char Time[40];
  std::snprintf(Time, sizeof Time, "* [%4lld ms] ", static_cast<long long>(Ms));
  FWriteLine(Time + Printable(Text) + "\n");
}

void TCliVerbose::Status(std::int64_t Ms, std::string_view Text) const {
  if (FLevel >= 2) Stage(Ms, Text);
}

void TCliVerbose::HeaderBlock(char Mark, std::string_view Block) const {
  if (FLevel < 1) return;
  // Lines end in CR LF or a lone LF; a last line without its end (a reply cut off in its
  // header) is shown all the same.
  std::size_t From = 0;
  while (From < Block.size()) {
    auto Lf = Block.find('\n', From);
    if (Lf == std::string_view::npos) Lf = Block.size();
    std::size_t To = Lf;
    if (To > From && Block[To - 1] == '\r') --To;
    const std::string_view Line = Block.substr(From, To - From);
    FWriteLine(Line.empty() ? std::string(1, Mark) + "\n"
                            : std::string(1, Mark) + " " + Printable(Line) + "\n");
    From = Lf + 1;
  }
}

std::int64_t TCliTrace::Ms(THttpTime At) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(At - FStart).count();
}

const TExchangePass& TCliTrace::Current() const {
  static const TExchangePass None;
  return FRecorder.Passes().empty() ? None : FRecorder.Passes().back();
}

void TCliTrace::PassStarted(THttpTime At, const THttpPassStart& Pass) {
  FRequestShown = false;
  std::string Line = std::string(Pass.Method) + " " + std::string(Pass.URL);
  if (!Pass.Proxy.empty())
    Line += " through " + std::string(Pass.Proxy) + " port " + std::to_string(Pass.ProxyPort);
  FVerbose.Stage(Ms(At), Line);
}

void TCliTrace::LookedUp(THttpTime At, std::string_view Name, std::string_view Address) {
  FVerbose.Stage(Ms(At), "Resolved " + std::string(Name) + " to " + std::string(Address));
}

void TCliTrace::Trying(THttpTime At, std::string_view Address, int Port) {
  // curl's words and indent; an IPv6 address in brackets, as a URL writes it.
  const bool Six = Address.find(':') != std::string_view::npos;
  const std::string Shown = Six ? "[" + std::string(Address) + "]" : std::string(Address);
  FVerbose.Stage(Ms(At), "  Trying " + Shown + ":" + std::to_string(Port) + "...");
}

void TCliTrace::TryEnded(THttpTime At, std::string_view Address, int Port, int Error) {
  // One that was closed unfinished (another won, or the wait ended) is not told, as in curl.
  if (Error == 0) return;
  const char* Why = FindSocketErrorText(Error);
  FVerbose.Stage(Ms(At), "connect to " + std::string(Address) + " port " + std::to_string(Port) +
                             " failed: " + (Why ? std::string(Why) : "error " + std::to_string(Error)));
}

const std::string& TCliTrace::NameOf(int Number) const {
  static const std::string None;
  return Number >= 0 && static_cast<std::size_t>(Number) < FNames.size() ? FNames[Number] : None;
}

void TCliTrace::Connected(THttpTime, std::string_view Name, std::string_view Address, int Port) {
  // Told with the connection's number, which comes next.
  FConnected = "Connected to " + std::string(Name) + " (" + std::string(Address) + ") port " +
               std::to_string(Port);
  FConnectedName = Name;
}

void TCliTrace::ConnectionReady(THttpTime At, int Number, bool Reused) {
  if (Reused) {
    FVerbose.Stage(Ms(At), "Re-using existing connection #" + std::to_string(Number) + " with " +
                               (Current().Proxy.empty() ? "host " : "proxy ") + NameOf(Number));
  } else {
    if (Number >= 0) {
      FNames.resize(std::max(FNames.size(), static_cast<std::size_t>(Number) + 1));
      FNames[static_cast<std::size_t>(Number)] = FConnectedName;
    }
    FVerbose.Stage(Ms(At), FConnected + " (#" + std::to_string(Number) + ")");
  }
  // An https pass's header waits for the session to let it go; a kept session has done so.
  const bool Kept = Reused && Number >= 0 && static_cast<std::size_t>(Number) < FSpeaksHttp2.size() &&
                    FSpeaksHttp2[static_cast<std::size_t>(Number)];
  const bool Tls = StartsWithNoCase(Current().URL, "https:");
  if (Reused)
    RequestLines(Kept);
  else if (!Tls)
    RequestLines(PriorKnowledge && Current().Proxy.empty());
}

void TCliTrace::RequestLines(bool Http2) {
  if (Http2 || FRequestShown) return;
  FVerbose.RequestHeader(Current().RequestHeader);
  FRequestShown = true;
}

void TCliTrace::ConnectionKept(THttpTime At, int Number) {
  FVerbose.Stage(Ms(At), "Connection #" + std::to_string(Number) + " to host " + NameOf(Number) +
                             " left intact");
}

void TCliTrace::Resent(THttpTime At) {
  FVerbose.Stage(Ms(At), "Connection died, retrying a fresh connect (retry count: 1)");
}

void TCliTrace::TunnelRequested(THttpTime At, std::string_view Request) {
  // "CONNECT host:port HTTP/1.0": the second word is where the tunnel goes.
  const auto From = Request.find(' ') + 1;
  FVerbose.Stage(Ms(At), "Establish HTTP proxy tunnel to " +
                             std::string(Request.substr(From, Request.find(' ', From) - From)));
  FVerbose.RequestHeader(Request);
}

void TCliTrace::TunnelAnswered(THttpTime, std::string_view Head, int Status) {
  // A refusal is the pass's reply, shown as every reply is.
  if (Status >= 200 && Status <= 299) FVerbose.ReplyHeader(Head);
}

void TCliTrace::TlsStarted(THttpTime At, std::string_view) {
  FVerbose.Stage(Ms(At), "ALPN: offers " + Alpn);
}

void TCliTrace::TlsEnded(THttpTime At, const TTlsFacts& Facts) {
  const std::int64_t Now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  for (const std::string& Line : TlsTraceLines(Facts, Current().TlsName, Now))
    FVerbose.Stage(Ms(At), Line);
  if (!TExchangePass::TlsLetThrough(Facts)) return;
  // h2 taken, the component speaks nothing else on the connection.
  const bool Http2 = Facts.Alpn == "h2";
  if (Http2) FVerbose.Stage(Ms(At), "using HTTP/2");
  RequestLines(Http2);
}

void TCliTrace::ProtocolSpoken(THttpTime, int, int, std::string_view) {
  const int Number = Current().Connection;
  if (Number < 0) return;
  FSpeaksHttp2.resize(std::max(FSpeaksHttp2.size(), static_cast<std::size_t>(Number) + 1));
  FSpeaksHttp2[static_cast<std::size_t>(Number)] = true;
}

void TCliTrace::Http2RequestLines(std::int64_t Ms) {
  const TExchangePass& P = Current();
  for (const THttp2Frame& F : P.Frames) {
    if (!F.Sent || F.Type != THttp2Frame::ftHeaders || F.Stream != P.Stream) continue;
    for (std::size_t From = 0; From < F.Headers.size();) {
      std::size_t To = F.Headers.find("\r\n", From);
      if (To == std::string::npos) To = F.Headers.size();
      FVerbose.Stage(Ms, "h2h3 [" + F.Headers.substr(From, To - From) + "]");
      From = To + 2;
    }
    break;
  }
  char Shown[32];
  std::snprintf(Shown, sizeof Shown, "%p", Handle);
  FVerbose.Stage(Ms, "Using Stream ID: " + std::to_string(P.Stream) + " (easy handle " + Shown +
                         ")");
}

void TCliTrace::RequestSent(THttpTime At, std::string_view, std::int64_t BodySize) {
  // The pass's request lines not yet out are those of an HTTP/2 pass, whose frame has gone now.
  if (!FRequestShown && Current().Stream > 0) Http2RequestLines(Ms(At));
  RequestLines(false);
  FVerbose.Stage(Ms(At), BodySize > 0
                             ? "Request sent with " + std::to_string(BodySize) + " bytes of body"
                             : std::string("Request sent"));
}

void TCliTrace::HeaderEnded(THttpTime, std::string_view Head, int) { FVerbose.ReplyHeader(Head); }

void TCliTrace::BodyEnded(THttpTime At, std::int64_t) {
  FVerbose.Stage(Ms(At), "Received " + std::to_string(Current().BodyBytes) + " bytes of body");
}

void TCliTrace::Closed(THttpTime At, std::string_view, int) {
  const int Number = Current().Connection;
  // The socket tells the server's close as it reads it, and again as it is closed.
  if (Number >= 0 && Number == FClosedTold) return;
  FClosedTold = Number;
  FVerbose.Stage(Ms(At), Number >= 0 ? "Closing connection " + std::to_string(Number)
                                     : std::string("Connection closed"));
}

void TCliTrace::Reported(THttpTime At, std::string_view Text) { FVerbose.Status(Ms(At), Text); }
