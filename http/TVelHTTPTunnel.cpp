// TVelHTTP over TLS: the session of an https pass (its settings, the client certificate for
// the first server only) and, through the proxy, the tunnel CONNECT opens, whose refusal is
// the pass's reply.
#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "http/TVelHTTP.h"

bool TVelHTTP::PassIsTls() const { return SameNoCase(FRun.UrlScheme, "https"); }

bool TVelHTTP::AtFirstServer() const {
  return !FRun.Redirected || CredentialScope::CallerCredentialsGo(FRun.FirstServer, PassServer());
}

TTlsSettings TVelHTTP::PassTlsSettings() const {
  TTlsSettings Settings = TlsSettings;
  if (!AtFirstServer()) {
    Settings.CertFile.clear();
    Settings.KeyFile.clear();
    Settings.KeyPassphrase.clear();
  }
  return Settings;
}

bool TVelHTTP::OpenSecureChannel() {
  if (!Proxy.empty() && !OpenTunnel()) return false;
  CheckAborted();
  StartTls(PassTlsSettings(), Host);
  CheckAborted();
  return true;
}

bool TVelHTTP::OpenTunnel() {
  // The proxy is told where to connect and nothing else: every credential and every line of
  // the caller's is for the server, and goes only inside the tunnel, routed or not.
  const auto [ToHost, ToPort] = Routed();
  const std::string Authority = ToHost + ":" + IntToStr(ToPort);
  const std::string Request =
      "CONNECT " + Authority + " HTTP/1.0\r\nHost: " + Authority + "\r\n\r\n";
  Write(Request);
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.TunnelRequested(At, Request); });
  CheckAborted();
  std::string Text;
  TReplyHead Head = ReadTunnelHead(Text);
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.TunnelAnswered(At, Text, Head.Status()); });
  CheckAborted();
  if (Head.Status() >= 200 && Head.Status() <= 299) return true;
  TakeRefusal(std::move(Head), Text);
  return false;
}

TReplyHead TVelHTTP::ReadTunnelHead(std::string& Text) {
  // The head as a whole is bounded by the time-out, as a server's is (ReadResponseHeader).
  const auto Started = std::chrono::steady_clock::now();
  TReplyHead Head;
  std::string Line;
  for (bool Done = false; !Done;) {
    if (Head.HasStatusLine() && TimeOut > 0 &&
        std::chrono::steady_clock::now() - Started >= std::chrono::milliseconds(TimeOut)) {
      TimedOut = true;
      throw EAbortError("Socket readln aborted", TSockStep::ssReceive, TSockCause::scTimedOut);
    }
    try {
      ReadLnInto(Line);
    } catch (const ELineTooLong&) {
      throw EHttpHeaderTooLarge();
    }
    Done = Head.Take(Line);
    Text += Line;
  }
  return Head;
}

namespace {

// A head that frames no body, with the status of the one it stands for.
TReplyHead Bodiless(int Status) {
  TReplyHead Head;
  Head.Take("HTTP/1.0 " + std::to_string(Status) + " \r\n");
  Head.Take("Content-Length: 0\r\n");
  Head.Take("\r\n");
  return Head;
}

}  // namespace

// Any reply but a 2xx refuses the tunnel, whatever else is wrong with it: the rules that end a
// server's reply as weird (a 101, two lengths that differ) do not apply, so that a refusal is
// told as one. A head whose length cannot be trusted frames no body here (RFC 9112, 6.3: such a
// reply is discarded): nothing more is read from the proxy, and the pass ends with its status.
void TVelHTTP::TakeRefusal(TReplyHead Head, const std::string& Text) {
  FRun.TunnelRefused = true;
  if (OutputFileMode) {
    TFileStream File(Header, TFileMode::fmCreate);
    File.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
  } else {
    Header = Text;
  }
  ReplyNumber = Head.Status();
  try {
    Head.Check();
    FHead = std::move(Head);
  } catch (const EHttpError&) {
    FHead = Bodiless(Head.Status());
  }
  BytesTotal = FHead.HasLength() ? FHead.Length() : 0;
  if (!Text.empty()) {
    const std::string_view First = std::string_view(Text).substr(0, Text.find('\n') + 1);
    TellOrStop([&](THttpObserver& O, THttpTime At) { O.StatusLine(At, First); });
    FireOrStop(OnStage, this, hsStatusLine);
  }
}
