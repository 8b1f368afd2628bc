// TVelHTTP: the request methods, the splitting of the URL, and the request loop: its passes,
// their events, redirections and the abort that may come from any handler. Composing and
// sending a request is in TVelHTTPRequest.cpp, reading the reply in TVelHTTPReply.cpp, the
// observers in TVelHTTPObservers.cpp.
#include "http/TVelHTTP.h"

#include <arpa/inet.h>

#include <exception>
#include <string>
#include <tuple>

#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"
#include "http/TVelURL.h"

namespace {

// The command of the pass that follows a redirection. 303 asks for a GET of another
// resource; a POST is not posted again on 301 and 302 either, as no client does, and HTTP/1.0
// forbids it without the user's consent. 307 and 308 keep the method and its body.
CmdType RedirectedCommand(CmdType Cmd, int Status) {
  if (Status == 303) return Cmd == hcHead ? hcHead : hcGet;
  if ((Status == 301 || Status == 302) && Cmd == hcPost) return hcGet;
  return Cmd;
}

}  // namespace

TVelHTTP::TVelHTTP(TComponent* AOwner) : TQuaywire(AOwner) {}

TVelHTTP::~TVelHTTP() {
  Destroying();
  // The base destructor can only reach its own Abort; this one also ends a look-up's wait.
  WaitDone = true;
  for (THttpObserver* Each : FObservers)
    if (Each) Each->FSubject = nullptr;
}

void TVelHTTP::Abort() {
  // Remembered for the request: Connect clears Canceled, and a later pass must not run.
  if (FRun.Busy) FRun.AbortRequested = true;
  WaitDone = true;
  Cancel();
}

// --- Request methods ----------------------------------------------------------------------

void TVelHTTP::CheckIdle() const {
  if (FRun.Busy)
    throw Exception("A request of this component is already running: wait until it has ended");
}

void TVelHTTP::Start(CmdType Cmd, const std::string& AURL) {
  CheckIdle();
  URL = AURL;
  CurrentCmd = Cmd;
}

void TVelHTTP::Perform(CmdType Cmd, const std::string& AURL, const std::string& Data,
                       const std::string& Target) {
  switch (Cmd) {
    case hcGet: return Get(AURL);
    case hcOptions: return Options(AURL);
    case hcHead: return Head(AURL);
    case hcPost: return Post(AURL, Data);
    case hcPut: return Put(AURL, Data);
    case hcPatch: return Patch(AURL, Data);
    case hcCopy: return Copy(AURL, Target);
    case hcMove: return Move(AURL, Target);
    case hcDelete: return Delete(AURL);
    case hcLink: return Link(AURL, Target);
    case hcUnLink: return UnLink(AURL, Target);
    case hcTrace: return Trace(AURL, Data);
    case hcWrapped: return Wrapped(AURL, Data);
  }
}

void TVelHTTP::Options(const std::string& AURL) {
  Start(hcOptions, AURL);
  RunRequest();
}

void TVelHTTP::Get(const std::string& AURL) {
  Start(hcGet, AURL);
  RunRequest();
}

void TVelHTTP::Post(const std::string& AURL, const std::string& PostData) {
  Start(hcPost, AURL);
  if (EncodePostData && !OutputFileMode) {
    const TOwned<TVelURL> Encoder(new TVelURL(this));
    Encoder->InputString = PostData;
    SendData = Encoder->EncodeFields();
  } else {
    SendData = PostData;
  }
  RunRequest();
}

void TVelHTTP::Put(const std::string& AURL, const std::string& Data) {
  Start(hcPut, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Head(const std::string& AURL) {
  Start(hcHead, AURL);
  RunRequest();
}

void TVelHTTP::Patch(const std::string& AURL, const std::string& Data) {
  Start(hcPatch, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Delete(const std::string& AURL) {
  Start(hcDelete, AURL);
  RunRequest();
}

void TVelHTTP::Trace(const std::string& AURL, const std::string& Data) {
  Start(hcTrace, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Copy(const std::string& AURL, const std::string& Destination) {
  Start(hcCopy, AURL);
  TargetURI = Destination;
  RunRequest();
}

void TVelHTTP::Move(const std::string& AURL, const std::string& Destination) {
  Start(hcMove, AURL);
  TargetURI = Destination;
  RunRequest();
}

void TVelHTTP::Link(const std::string& AURL, const std::string& LinkValue) {
  Start(hcLink, AURL);
  TargetURI = LinkValue;
  SendData = "Send.dat";
  RunRequest();
}

void TVelHTTP::UnLink(const std::string& AURL, const std::string& LinkValue) {
  Start(hcUnLink, AURL);
  TargetURI = LinkValue;
  SendData = "Send.dat";
  RunRequest();
}

void TVelHTTP::Wrapped(const std::string& AURL, const std::string& Data) {
  Start(hcWrapped, AURL);
  SendData = Data;
  RunRequest();
}

// --- URL splitting ------------------------------------------------------------------------

void TVelHTTP::SplitURL() {
  if (URL.empty()) throw EHttpUrlError("Empty URL");
  CheckHeaderValue(URL, "URL", true);
  const THttpUrl Parts = THttpUrl::SplitUser(URL);
  // "http:///x" and "http://:80/x" name a server and leave it empty (RFC 9110, 4.2.1); only
  // a URL that names no server at all ("/x") goes to the current one.
  if (Parts.HasAuthority && Parts.Host.empty()) throw EHttpUrlError("No server in URL: " + URL);
  int NewPort = Port == 0 ? 80 : Port;
  if (!Parts.Scheme.empty())
    NewPort = SecureSocket && SameNoCase(Parts.Scheme, "https") ? 443
                                                                : THttpUrl::SchemePort(Parts.Scheme);
  if (const int Given = Parts.PortNumber(); Given != 0) NewPort = Given;
  // A URL without a server ("/x") keeps the host of the previous request or the caller's.
  const std::string NewHost = Parts.Host.empty() ? Host : Parts.Host;
  CheckHeaderValue(NewHost, "Host");
  THttpUrl::CheckHost(NewHost);

  Port = NewPort;
  Host = NewHost;
  FRun.UrlScheme = Parts.Scheme;
  RequestPath = Parts.RequestTarget();
  // Credentials in the URL are the user's, given for the first server; a Location's are not.
  if (!FRun.Redirected) {
    FRun.UrlCredentials = Parts.HasUserInfo && !Parts.User().empty();
    FRun.UrlUser = FRun.UrlCredentials ? Parts.User() : std::string();
    FRun.UrlPassword = FRun.UrlCredentials ? Parts.Password() : std::string();
  }
  if (Parts.Path.empty()) URL.insert(Parts.PathAt, "/");
}

TPassServer TVelHTTP::PassServer() const {
  return {FRun.UrlScheme.empty() ? std::string("http") : AsciiLowered(FRun.UrlScheme), Host, Port};
}

// --- The request loop ---------------------------------------------------------------------

std::string TVelHTTP::RedirectionTarget() const {
  return THttpUrl::Resolve(ProxyTarget(), Location);
}

TReplyClass TVelHTTP::ReplyClass() const {
  // A proxy's refusal is never followed, whatever its status: the request failed.
  if (FRun.TunnelRefused) return rcFailure;
  return TReplyHead::Classify(ReplyNumber, FHead.HasLocation());
}

bool TVelHTTP::FollowsRedirection() const { return ReplyClass() == rcRedirection; }

void TVelHTTP::CheckAborted() {
  if (!FRun.AbortRequested) return;
  Canceled = false;
  throw EHttpRequestAborted();
}

void TVelHTTP::RunRequest() {
  CheckIdle();
  FRun = TRun{.Busy = true, .RequestedCmd = CurrentCmd};
  // On every way out: idle again, the caller's command back, and an abort that found no
  // network step to stop forgotten.
  const TAliveGuard IdleAgain(FAlive, [this] {
    FRun.Busy = false;
    CurrentCmd = FRun.RequestedCmd;
    if (FRun.AbortRequested) Canceled = false;
    FRun.AbortRequested = false;
  });
  const TAliveFlag Alive = FAlive;
  try {
    RunPasses();
  } catch (...) {
    if (*Alive) TellFailure(std::current_exception());
    throw;
  }
}

void TVelHTTP::RunPasses() {
  for (int Further = 0;; ++Further) {
    CheckAborted();
    FRun.PassIndex = Further;
    SplitURL();
    if (!FRun.Redirected) FRun.FirstServer = PassServer();
    ComposeRequest();
    FireOrStop(OnAboutToSend, this);
    TellPassStart();
    FireOrStop(OnStage, this, hsPassStart);
    CheckAborted();
    {
      // Closed on every way out; when an error ends the pass, that error is the one to
      // report, not one of the close.
      TAliveGuard Close(FAlive, [this] { Disconnect(); });
      RunExchange();
      Close.RunNow();
      // An OnDisconnect handler may have freed the component: nothing of it may be touched.
      if (!Close.OwnerAlive()) throw EComponentDestroyed();
    }
    const std::optional<TNextPass> Next = AfterExchange(Further);
    if (!Next) return;
    FRun.Redirected = true;
    CurrentCmd = Next->Cmd;
  }
}

void TVelHTTP::RunExchange() {
  FRun.TunnelRefused = false;
  FRun.BodyMayBeCut = false;
  RouteConnection();
  Connect();
  if (PassIsTls() && !OpenSecureChannel()) {
    FinishReply();
    return;
  }
  SendRequest();
  TellOrStop([&](THttpObserver& O, THttpTime At) {
    O.RequestSent(At, FRequestHeaderSent, FRun.BodySize);
  });
  FireOrStop(OnStage, this, hsRequestSent);
  CheckAborted();
  ReplyNumber = 0;
  FRun.InHead = true;
  ReadResponseHeader();
  FRun.InHead = false;
  FinishReply();
}

std::pair<std::string, int> TVelHTTP::Routed() const {
  for (const TConnectRule& R : ConnectRules) {
    if ((!R.Host.empty() && !SameNoCase(R.Host, Host)) || (R.Port != 0 && R.Port != Port)) continue;
    return {R.ToHost.empty() ? Host : R.ToHost, R.ToPort == 0 ? Port : R.ToPort};
  }
  return {Host, Port};
}

void TVelHTTP::RouteConnection() {
  FConnectTarget = {};
  if (ConnectRules.empty() && ResolveRules.empty()) return;
  // Through the proxy the connection is the proxy's; the route is the tunnel's (OpenTunnel).
  if (Proxy.empty()) std::tie(FConnectTarget.Name, FConnectTarget.Port) = Routed();
  for (const TResolveRule& R : ResolveRules) {
    if (R.Port != ConnectPort() || !SameNoCase(R.Host, ConnectName())) continue;
    in_addr Address{};
    if (::inet_pton(AF_INET, R.Address.c_str(), &Address) == 1)
      FConnectTarget.Address = Address.s_addr;
    return;
  }
}

void TVelHTTP::FinishReply() {
  TellOrStop([&](THttpObserver& O, THttpTime At) {
    O.HeaderEnded(At, OutputFileMode ? std::string_view() : std::string_view(Header), ReplyNumber);
  });
  FireOrStop(OnStage, this, hsHeaderEnd);
  CheckAborted();
  ReadBody();
  if (FRun.BodyMayBeCut)
    TellOrStop([](THttpObserver& O, THttpTime At) { O.BodyMayBeCut(At); });
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.BodyEnded(At, BytesRecvd); });
  FireOrStop(OnStage, this, hsBodyEnd);
  const TReplyClass Class = ReplyClass();
  FRun.Follow = Class == rcRedirection;
  switch (Class) {
    case rcSuccess:
      FireOrStop(OnSuccess, FRun.RequestedCmd);
      StatusMessage(2, "Transaction Completed");
      break;
    case rcFailure:
      // No usable status line is no success either: the server sent nothing we can judge.
      FireOrStop(OnFailure, FRun.RequestedCmd);
      break;
    case rcRedirection:
    case rcFinal:
      // Followed or not, a redirection gets neither result event: OnRedirect tells of it.
      break;
  }
}

TVelHTTP::TNextPass TVelHTTP::NextPassOf() const {
  TNextPass Next;
  Next.Cmd = RedirectedCommand(CurrentCmd, ReplyNumber);
  if (FRun.Follow) {
    try {
      Next.Target = RedirectionTarget();
    } catch (const EHttpError&) {
      Next.Refused = std::current_exception();
    }
  }
  // A cookie that cannot go into a header line is not taken into HeaderInfo: it would
  // make every later request of this component fail. The next pass would have to send it.
  if (ReplyNumber >= 300 && ReplyNumber <= 398 && !CookieIn().empty()) {
    if (HasLineBreak(CookieIn()))
      Next.CookieUnsendable = true;
    else
      Next.Cookie = {true, CookieIn(), CredentialScope::CookiePair(CookieIn()), PassServer()};
  }
  return Next;
}

std::optional<TVelHTTP::TNextPass> TVelHTTP::AfterExchange(int Further) {
  // The proxy's reply says nothing of the server: no cookie, no redirection, no challenge.
  if (FRun.TunnelRefused) return std::nullopt;
  TNextPass Next = NextPassOf();
  // OnRedirect reads URL as the target to follow; a target the component cannot follow is
  // refused only once the handler has had its say and the loop would really go on.
  if (FRun.Follow && !Next.Refused) URL = Next.Target;
  if (ReplyNumber >= 300 && ReplyNumber <= 398) {
    bool Handled = false;
    if (Next.Cookie) {
      HeaderInfo.Cookie = Next.Cookie->Copied;
      // Remembered as the server's, for the rule of where it may go next.
      FServerCookie = *Next.Cookie;
    }
    FireOrStop(OnRedirect, Handled);
    if (Handled) return std::nullopt;
  }
  if (ReplyNumber == 401) FireOrStop(OnAuthenticationNeeded, this);
  if (!FRun.Follow) return std::nullopt;
  if (Next.CookieUnsendable) CheckHeaderValue(CookieIn(), "Set-Cookie");
  if (Further == MaxRedirections) throw EHttpTooManyRedirections();
  if (Next.Refused) std::rethrow_exception(Next.Refused);
  return Next;
}
