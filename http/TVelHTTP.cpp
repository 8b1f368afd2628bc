// TVelHTTP: the request methods, the splitting of the URL, and the component's side of each
// unit it runs a request with: the steps of the request loop (RequestLoop), the pass's plan
// for the composer (RequestComposer) and its sending, the connection as the reply reader
// reads it (TReplyReader, ProxyTunnel), the session of an https pass, and the observers'
// steps (THttpObserverList).
#include "http/TVelHTTP.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <tuple>

#include "base/AsciiText.h"
#include "http/HostName.h"
#include "http/Http2Request.h"
#include "http/Http2Transport.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "http/ProxyTunnel.h"
#include "http/THttpUrl.h"
#include "http/TVelURL.h"
#include "platform/InetText.h"

namespace {

constexpr std::size_t MaxSendPiece = 65535;  // SendBuffer's length is 16 bits

}  // namespace

TVelHTTP::TVelHTTP(TComponent* AOwner)
    : TQuaywire(AOwner), FPool(std::make_unique<TConnectionPool>()) {}

TVelHTTP::~TVelHTTP() {
  Destroying();
  FSweep.reset();
  FPool->Clear();
  // The base destructor can only reach its own Abort; this one also ends a look-up's wait.
  WaitDone = true;
}

void TVelHTTP::CloseIdleConnections() {
  FPool->Clear();
  ArmSweep();
}

std::size_t TVelHTTP::IdleConnections() const { return FPool->Size(); }

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
  RequestComposer::CheckHeaderValue(URL, "URL", true);
  const THttpUrl Parts = THttpUrl::SplitUser(URL);
  // "http:///x" and "http://:80/x" name a server and leave it empty (RFC 9110, 4.2.1); only
  // a URL that names no server at all ("/x") goes to the current one.
  if (Parts.HasAuthority && Parts.Host.empty()) throw EHttpUrlError("No server in URL: " + URL);
  int NewPort = Port == 0 ? 80 : Port;
  if (!Parts.Scheme.empty())
    NewPort = SecureSocket && SameNoCase(Parts.Scheme, "https")
                  ? 443
                  : THttpUrl::SchemePort(Parts.Scheme);
  if (const int Given = Parts.PortNumber(); Given != 0) NewPort = Given;
  // A URL without a server ("/x") keeps the host of the previous request or the caller's.
  const std::string NewHost = Parts.Host.empty() ? Host : Parts.Host;
  RequestComposer::CheckHeaderValue(NewHost, "Host");
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
  return TReplyHead::Classify(ReplyNumber, FReply.Head().HasLocation());
}

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
    RequestLoop::RunPasses({.PreparePass = [this](int Index) { StartPass(Index); },
                            .ExchangePass = [this] { Exchange(); },
                            .JudgeReply = [this](int Further) { return AfterExchange(Further); },
                            .FollowNext = [this](const TNextPass& Next) { GoOn(Next); }});
  } catch (...) {
    if (*Alive) TellFailure(std::current_exception());
    throw;
  }
}

void TVelHTTP::StartPass(int Index) {
  CheckAborted();
  FRun.PassIndex = Index;
  SplitURL();
  if (!FRun.Redirected) FRun.FirstServer = PassServer();
  ComposeRequest();
  FireOrStop(OnAboutToSend, this);
  TellPassStart();
  FireOrStop(OnStage, this, hsPassStart);
  CheckAborted();
}

void TVelHTTP::Exchange() {
  // Closed on every way out but one, a reply that leaves its connection fit to keep; when an
  // error ends the pass, that error is the one to report, not one of the close.
  TAliveGuard Close(FAlive, [this] { Disconnect(); });
  try {
    RunExchange();
  } catch (const EAbortError&) {
    // A component destroyed under the wait (its destruction aborts it) is not to be touched.
    if (Close.OwnerAlive()) KeepCancelled(Close);
    throw;
  } catch (const EHttpRequestAborted&) {
    if (Close.OwnerAlive()) KeepCancelled(Close);
    throw;
  }
  if (THttp2Transport* H2 = Http2()) H2->Settle();
  if (ConnectionKeeps()) {
    // Released before the close is called off: a refusal to let go still closes it.
    std::unique_ptr<TConnection> Kept = ReleaseConnection(false);
    Close.Dismiss();
    KeepConnection(std::move(Kept));
    return;
  }
  Close.RunNow();
  // An OnDisconnect handler may have freed the component: nothing of it may be touched.
  if (!Close.OwnerAlive()) throw EComponentDestroyed();
}

void TVelHTTP::KeepCancelled(TAliveGuard& Close) {
  // Over HTTP/2 a stop ends the stream (RST_STREAM, CANCEL), not the connection: it stays for
  // later requests when nothing else is owed on it.
  THttp2Transport* const H2 = Http2();
  if (H2 == nullptr || !Connected || FRun.Connection < 0 || HttpVersion == hv10) return;
  H2->Cancel();
  if (!H2->Reusable() || !FramesTold()) return;
  std::unique_ptr<TConnection> Kept = ReleaseConnection(false);
  Close.Dismiss();
  KeepConnection(std::move(Kept));
}

void TVelHTTP::GoOn(const TNextPass& Next) {
  FRun.Redirected = true;
  CurrentCmd = Next.Cmd;
}

void TVelHTTP::RunExchange() {
  FRun.TunnelRefused = false;
  FRun.BodyMayBeCut = false;
  FRun.Connection = -1;
  FRun.Reused = false;
  FRun.ReplyBegun = false;
  FRun.HostAnswered = false;
  FRun.Stream = 0;
  RouteConnection();
  FRun.Key = PassKey();
  FRun.Again = false;
  if (HttpVersion != hv10 && ReuseConnection()) {
    // A server may close a kept connection just as the request goes out: the request then
    // finds it closed before a whole line of the reply came, and nothing of it was handled.
    // An HTTP/2 server may refuse the stream, or answer that it is the wrong one to ask.
    try {
      SendAndRead();
      return;
    } catch (const EAbortError&) {
      throw;
    } catch (const EHttp2Refused& E) {
      GoAgain(E.Message());
    } catch (const TMisdirected&) {
      GoAgain("421 Misdirected Request");
    } catch (const ESockError&) {
      if (FRun.ReplyBegun) throw;
      GoAgain({});
    } catch (const EHttpEmptyReply&) {
      if (FRun.ReplyBegun) throw;
      GoAgain({});
    }
  }
  for (;;) {
    Connect();
    if (PassIsTls() && !OpenSecureChannel()) {
      FinishReply();
      return;
    }
    SpeakHttp2IfChosen();
    try {
      SendAndRead();
      return;
    } catch (const EHttp2Refused& E) {
      if (FRun.Again) throw;
      GoAgain(E.Message());
    } catch (const TMisdirected&) {
      GoAgain("421 Misdirected Request");
    }
  }
}

void TVelHTTP::GoAgain(const std::string& Why) {
  // No reply's head is being read any more: the socket's steps until the next are the
  // new connection's.
  FRun.InHead = false;
  const std::string Refusal = ResendRefusal(Why);
  if (!Refusal.empty()) {
    if (Why.empty()) throw EHttpEmptyReply(Refusal);
    throw EHttp2Error(Refusal, 7, true);
  }
  StatusMessage(8, "Connection #" + std::to_string(FRun.Connection) +
                       (Why.empty() ? " was closed by the server" : ": " + Why) +
                       ": sending again on a new one");
  const TAliveFlag Alive = FAlive;
  Disconnect();
  // An OnDisconnect handler may have freed the component.
  if (!*Alive) throw EComponentDestroyed();
  TellOrStop([](THttpObserver& O, THttpTime At) { O.Resent(At); });
  FRun.Connection = -1;
  FRun.Reused = false;
  FRun.Stream = 0;
  FRun.ReplyBegun = false;
  FRun.Again = true;
  CheckAborted();
}

THttp2Transport* TVelHTTP::Http2() const { return dynamic_cast<THttp2Transport*>(Upper()); }

void TVelHTTP::SpeakHttp2IfChosen() {
  if (HttpVersion != hv2 && HttpVersion != hv2Prior) return;
  if (CurrentCmd == hcWrapped) return;
  if (PassIsTls()) {
    const TTlsFacts* Facts = TlsFacts();
    if (Facts == nullptr || Facts->Alpn != "h2") return;
  } else if (HttpVersion != hv2Prior || !Proxy.empty()) {
    return;
  }
  InstallUpper(std::make_unique<THttp2Transport>(LowerTransport(), PassIsTls() ? "https" : "http"));
}

bool TVelHTTP::FramesTold() {
  THttp2Transport* H2 = Http2();
  if (H2 == nullptr || !H2->FramesWaiting()) return true;
  for (const THttp2Transport::TSeen& Seen : H2->TakeFrames())
    if (!Tell([&](THttpObserver& O, THttpTime) { O.FrameSeen(Seen.At, Seen.Frame); })) return false;
  return true;
}

void TVelHTTP::TellFrames() {
  if (!FramesTold()) throw EComponentDestroyed();
}

void TVelHTTP::SendAndRead() {
  THttp2Transport* const H2 = Http2();
  if (H2 != nullptr) {
    H2->NextRequest();
    FRequestHeaderSent = Http2Request::ShownBlock(FRequestHeaderSent);
  }
  SendRequest();
  if (H2 != nullptr) {
    FRun.Stream = H2->Stream();
    TellOrStop([&](THttpObserver& O, THttpTime At) {
      O.ProtocolSpoken(At, 20, FRun.Stream, FRequestHeaderSent);
    });
    TellFrames();
  }
  TellOrStop([&](THttpObserver& O, THttpTime At) {
    O.RequestSent(At, FRequestHeaderSent, FRun.BodySize);
  });
  FireOrStop(OnStage, this, hsRequestSent);
  CheckAborted();
  ReplyNumber = 0;
  FRun.InHead = true;
  ReadResponseHeader();
  FRun.InHead = false;
  TellFrames();
  // A server that is not the one to ask for this URL on this connection says so; the request
  // goes once on a connection of its own (RFC 9110, 15.5.20).
  if (H2 != nullptr && ReplyNumber == 421 && !FRun.Again && ResendRefusal("421").empty())
    throw TMisdirected();
  FinishReply();
  TellFrames();
}

TConnectionPool::TLimits TVelHTTP::PoolLimits() const {
  return {.MaxIdle = MaxIdleConnections,
          .MaxIdleTime = std::chrono::milliseconds(std::max(IdleTimeout, 0))};
}

TPoolKey TVelHTTP::PassKey() const {
  TPoolKey Key{.Scheme = AsciiLowered(FRun.UrlScheme.empty() ? "http" : FRun.UrlScheme),
               .Host = HostName::Canonical(Host),
               .Port = Port,
               .Proxy = Proxy.empty() ? std::string() : HostName::Canonical(Proxy),
               .ProxyPort = Proxy.empty() ? 0 : ProxyPort,
               .Tls = std::nullopt,
               .Route = {},
               .AddressFamily = AddressFamily,
               .H2c = HttpVersion == hv2Prior && !PassIsTls() && Proxy.empty()};
  if (PassIsTls()) Key.Tls = PassTlsSettings();
  // A route of the caller's moves the connection, or through the proxy its tunnel: it is
  // part of what the connection is.
  if (!FConnectTarget.Name.empty() || !FConnectTarget.Addresses.empty()) {
    Key.Route = FConnectTarget.Name + ":" + std::to_string(FConnectTarget.Port);
    for (const win::SOCKADDR_INET& A : FConnectTarget.Addresses)
      Key.Route += " " + ObserverFacts::AddressText(A);
  }
  if (!Proxy.empty() && PassIsTls() && !ConnectRules.empty()) {
    const auto [TunnelHost, TunnelPort] = Routed();
    Key.Route += " tunnel " + TunnelHost + ":" + std::to_string(TunnelPort);
  }
  return Key;
}

bool TVelHTTP::ReuseConnection() {
  FPool->SetLimits(PoolLimits());
  int Number = -1;
  std::unique_ptr<TConnection> Kept =
      FPool->Take(FRun.Key, TConnectionPool::TClock::now(), &Number);
  if (!Kept) return false;
  CheckAborted();
  AdoptConnection(std::move(Kept));
  FRun.Connection = Number;
  FRun.Reused = true;
  StatusMessage(8, "Re-using connection #" + std::to_string(Number));
  TellOrStop([Number](THttpObserver& O, THttpTime At) { O.ConnectionReady(At, Number, true); });
  return true;
}

std::string TVelHTTP::ResendRefusal(const std::string& Reason) const {
  const std::string Why = Reason.empty() ? "connection #" + std::to_string(FRun.Connection) +
                                               " was closed by the server before the reply, and "
                                         : Reason + ", and ";
  const CmdType C = CurrentCmd;
  if (C != hcGet && C != hcHead && C != hcOptions && C != hcPut && C != hcDelete)
    return Why + "a " + std::string(C == hcWrapped ? "wrapped request" : CommandWord(C)) +
           " is not sent twice";
  // A body from a pipe or a device was read once: what went out cannot be read again.
  struct stat Info {};
  if (HasRequestBody() && OutputFileMode &&
      (::stat(SendData.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode)))
    return Why + "its body, read from a stream, cannot be sent again";
  return {};
}

bool TVelHTTP::ConnectionKeeps() const {
  // A body the server stopped short of taking leaves it waiting for the rest: whatever came
  // next would be read as that body.
  if (HttpVersion == hv10 || !Connected || SendCutShort() || FRun.TunnelRefused ||
      FRun.AbortRequested || FRun.HostAnswered || FRun.Connection < 0 || MaxIdleConnections == 0 ||
      IdleTimeout <= 0)
    return false;
  if (PassIsTls() && !TlsActive()) return false;
  if (const THttp2Transport* H2 = Http2()) return H2->Reusable();
  const TReplyHead& Head = FReply.Head();
  // Only HTTP/1.0 and 1.1 replies speak of keeping; another version's is no reply to trust.
  if (Head.Version() != 10 && Head.Version() != 11) return false;
  const auto ServerIdle = TConnectionPool::KeepAliveTimeout(Head.KeepAliveField());
  if (ServerIdle && ServerIdle->count() <= 0) return false;
  // More than the reply came (bytes after a body its length ended): they would be read as
  // the next request's reply.
  if (UnreadWaiting()) return false;
  // Through a proxy without a tunnel the connection is the proxy's, which may speak of it in
  // Proxy-Connection as well.
  std::string Connection = Head.ConnectionField();
  if (!Proxy.empty() && !PassIsTls() && !Head.ProxyConnectionField().empty())
    Connection += (Connection.empty() ? "" : ", ") + Head.ProxyConnectionField();
  return TConnectionPool::ReplyKeeps(1, Head.Version() - 10, Connection, FReply.EndedByFraming());
}

void TVelHTTP::KeepConnection(std::unique_ptr<TConnection> Kept) {
  const int Number = FRun.Connection;
  FPool->SetLimits(PoolLimits());
  FPool->Put(FRun.Key, std::move(Kept), Number,
             TConnectionPool::KeepAliveTimeout(FReply.Head().KeepAliveField()),
             TConnectionPool::TClock::now());
  // This one may expire before the one the sweep waits for.
  ArmSweep();
  TellOrStop([Number](THttpObserver& O, THttpTime At) { O.ConnectionKept(At, Number); });
}

void TVelHTTP::ArmSweep() {
  const auto Next = FPool->NextExpiry();
  if (!Next) {
    if (FSweep) FSweep->SetEnabled(false);
    return;
  }
  if (!FSweep) {
    FSweep = std::make_unique<TThreadTimer>(nullptr);
    FSweep->SetOnTimer([this](TObject*) {
      FPool->DropExpired(TConnectionPool::TClock::now());
      ArmSweep();
    });
  }
  // A tick a little after the deadline, so that it finds the connection expired.
  const auto Left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*Next - TConnectionPool::TClock::now());
  FSweep->SetInterval(static_cast<std::uint32_t>(std::max<std::int64_t>(Left.count() + 1, 1)));
  FSweep->SetEnabled(true);
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
    FConnectTarget.Addresses = RuleAddresses(R.Address);
    return;
  }
}

std::vector<win::SOCKADDR_INET> TVelHTTP::RuleAddresses(std::string_view List) {
  std::vector<win::SOCKADDR_INET> Addresses;
  for (std::size_t From = 0; From <= List.size();) {
    std::size_t Comma = List.find(',', From);
    if (Comma == std::string_view::npos) Comma = List.size();
    std::string_view Item = List.substr(From, Comma - From);
    From = Comma + 1;
    const bool Bracketed = Item.size() >= 2 && Item.front() == '[' && Item.back() == ']';
    if (Bracketed) Item = Item.substr(1, Item.size() - 2);
    win::SOCKADDR_INET A{};
    if (!Bracketed && win::ParseInet4(Item, A.Ipv4.sin_addr)) {
      A.Ipv4.sin_family = AF_INET;
    } else if (win::ParseInet6(Item, A.Ipv6.sin6_addr)) {
      A.Ipv6.sin6_family = AF_INET6;
    } else {
      return {};
    }
    // A repeat is dropped, as a look-up's are: the race would try the same address twice.
    const auto Same = [Item](const win::SOCKADDR_INET& Listed) {
      return win::SameAddress(
          win::AddressText(reinterpret_cast<const sockaddr*>(&Listed), win::SockaddrLength(Listed)),
          Item);
    };
    if (std::none_of(Addresses.begin(), Addresses.end(), Same)) Addresses.push_back(A);
  }
  return Addresses;
}

void TVelHTTP::FinishReply() {
  TellOrStop([&](THttpObserver& O, THttpTime At) {
    O.HeaderEnded(At, OutputFileMode ? std::string_view() : std::string_view(Header), ReplyNumber);
  });
  FireOrStop(OnStage, this, hsHeaderEnd);
  CheckAborted();
  ReadBody();
  if (FRun.BodyMayBeCut) TellOrStop([](THttpObserver& O, THttpTime At) { O.BodyMayBeCut(At); });
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

std::optional<TNextPass> TVelHTTP::AfterExchange(int Further) {
  // The proxy's reply says nothing of the server: no cookie, no redirection, no challenge.
  if (FRun.TunnelRefused) return std::nullopt;
  TNextPass Next = RequestLoop::NextPassOf({.Cmd = CurrentCmd,
                                            .Status = ReplyNumber,
                                            .Follow = FRun.Follow,
                                            .CookieIn = CookieIn(),
                                            .Server = PassServer(),
                                            .Target = [this] { return RedirectionTarget(); }});
  // OnRedirect reads URL as the target to follow; a target the component cannot follow is
  // refused only once the handler has had its say and the loop would really go on.
  if (FRun.Follow && !Next.Refused) URL = Next.Target;
  if (RequestLoop::IsRedirection(ReplyNumber)) {
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
  return RequestLoop::GoesOn(std::move(Next), Further);
}

// --- Composition and sending --------------------------------------------------------------

std::string TVelHTTP::ProxyTarget() const {
  return THttpUrl::AbsoluteForm(FRun.UrlScheme, Host, Port, RequestPath);
}

bool TVelHTTP::HasRequestBody() const { return CarriesBody(CurrentCmd); }

TRequestPlan TVelHTTP::PassPlan() const {
  return {.Cmd = CurrentCmd,
          .Scheme = FRun.UrlScheme,
          .Host = Host,
          .Port = Port,
          .RequestPath = RequestPath,
          .Proxied = !Proxy.empty(),
          .Tls = PassIsTls(),
          .Info = HeaderInfo,
          .TargetURI = TargetURI,
          .CustomHeaders = CustomHeaders,
          .FirstServer = AtFirstServer(),
          .UrlCredentials = FRun.UrlCredentials,
          .UrlUser = FRun.UrlUser,
          .UrlPassword = FRun.UrlPassword,
          .ServerCookie = FServerCookie,
          .Pass = PassServer(),
          .AcceptEncoding = AcceptEncoding,
          .Http11 = HttpVersion != hv10};
}

void TVelHTTP::ComposeRequest() {
  const TRequestPlan Plan = PassPlan();
  RequestComposer::CheckSettings(Plan, URL, ProxyPort);
  FRequestHeaderSent.clear();
  RequestComposer::ComposeLines(Plan, RequestLines);
  FRun.BodySize = 0;
  if (HasRequestBody()) {
    FRun.BodySize = RequestComposer::BodySize(SendData, OutputFileMode);
    RequestComposer::AddContentLength(RequestLines, FRun.BodySize);
  }
  RequestComposer::ComposeBlock(RequestLines, FRequestHeaderSent);
}

void TVelHTTP::SendHeaderBlock() {
  // The block is the lines' write and the empty line's: their reports are those of the two
  // writes, in their order, but the empty line travels in the lines' last send when both
  // fit one, so that the block takes one system call.
  const std::string& Block = FRequestHeaderSent;
  const std::size_t Lines = Block.size() - 2;
  StatusMessage(8, "Write");
  std::size_t Offset = 0;
  for (; Lines - Offset > MaxSendPiece; Offset += MaxSendPiece)
    SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(MaxSendPiece));
  if (Block.size() - Offset > MaxSendPiece) {
    SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(Lines - Offset));
    Writeln("");
    return;
  }
  SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(Block.size() - Offset));
  // The empty line's own write, its bytes gone already: Writeln, its Write and SendBuffer
  // with its time-out; a cancel made meanwhile still ends the send.
  for (const char* Text : {"Writeln", "Write"}) StatusMessage(8, Text);
  StatusMessage(4, "Sending Buffer");
  for (const char* Text : {"Timer On", "Timer Off"}) StatusMessage(8, Text);
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}

void TVelHTTP::SendRequest() {
  SendHeaderBlock();
  if (!HasRequestBody()) return;
  if (OutputFileMode) {
    SendFile(SendData);
    return;
  }
  // Write would stop at a NUL byte; the body must match its Content-Length, so it goes out
  // whole, in pieces that fit SendBuffer (a length of 0 there would mean "up to the NUL").
  const std::string Data = SendData;
  // A server that answers before it has read the body (413, 401) stops the sending.
  for (std::size_t Offset = 0; Offset < Data.size() && !SendCutShort(); Offset += MaxSendPiece) {
    const std::size_t Piece = std::min(Data.size() - Offset, MaxSendPiece);
    SendBuffer(Data.data() + Offset, static_cast<std::uint16_t>(Piece));
  }
}

bool TVelHTTP::AnswerEndsSend() {
  char Start[16];
  const int Got = ReceiveData(Start, sizeof Start, MSG_PEEK);
  if (Got <= 0) return false;
  return TReplyReader::EndsSend(std::string_view(Start, static_cast<std::size_t>(Got)));
}

// --- The reply ----------------------------------------------------------------------------

TReplyFields TVelHTTP::ReplyFieldsOf() {
  return {.Header = Header,
          .HeaderToFile = OutputFileMode,
          .ReplyNumber = ReplyNumber,
          .BytesTotal = BytesTotal,
          .Location = Location,
          .TimeOut = TimeOut,
          .TimedOut = TimedOut,
          .Http2 = FRun.Stream != 0};
}

TBodyFields TVelHTTP::BodyFieldsOf(const TBodySink& Sink) {
  return {.Body = Body,
          .BodyToFile = InputFileMode,
          .Sink = Sink,
          .MaxBodySize = MaxBodySize,
          .Decode = AcceptEncoding,
          .BytesRecvd = BytesRecvd,
          .Canceled = Canceled};
}

void TVelHTTP::ReadResponseHeader() {
  FReply.ReadHead({.HeadLine = [this](std::string& Line) { ReadHeadLine(Line); },
                   .StatusLineHeard = [this](std::string_view Line) { TellStatusLine(Line); }},
                  ReplyFieldsOf());
}

void TVelHTTP::ReadBody() {
  const auto Receive = [this](TBodyWire::TWanted Wanted, TBodyWire::TTake Take,
                              TCallRef<bool()> WantMore) { ReceiveBody(Wanted, Take, WantMore); };
  const auto Told = [this](std::string_view Block) {
    TellOrStop([&](THttpObserver& O, THttpTime At) { O.BodyBlock(At, Block); });
  };
  const auto ToFile = [this](const std::string& FileName, std::int64_t Limit) {
    CaptureFileAtMost(FileName, Limit);
  };
  const auto ToText = [this](std::string& Text, std::int64_t Limit) {
    CaptureStringAtMost(Text, Limit);
  };
  // The caller's sink is a handler like the events: one that frees the component ends the
  // request there, before the next block is told or anything of the component is touched.
  const TBodySink Sink =
      !BodySink ? TBodySink() : [Own = BodySink, Alive = FAlive](std::string_view Block) {
        Own(Block);
        if (!*Alive) throw EComponentDestroyed();
      };
  const std::string Unknown = ContentNotDecoded();
  if (!Unknown.empty()) StatusMessage(2, "Content-Encoding not decoded: " + Unknown);
  // The sizes of a decoded body are told however its reading ends.
  const auto TellSizes = [this] {
    if (!FReply.Decoded()) return;
    const std::int64_t Decoded = FReply.DecodedBytes();
    TellOrStop([&](THttpObserver& O, THttpTime At) { O.BodyDecoded(At, BytesRecvd, Decoded); });
  };
  try {
    FRun.BodyMayBeCut =
        FReply.ReadBody({.InTransfer = [this](TCallRef<void()> Capture) { RunCapture(Capture); },
                         .ReceiveBlocks = Receive,
                         .BlockHeard = Told,
                         .CaptureFileUpTo = ToFile,
                         .CaptureTextUpTo = ToText,
                         .SessionCut = [this] { return TlsCut(); }},
                        BodyFieldsOf(Sink), CurrentCmd, ReplyNumber, BytesTotal);
  } catch (const EComponentDestroyed&) {
    throw;
  } catch (...) {
    TellSizes();
    throw;
  }
  TellSizes();
}

std::string TVelHTTP::ContentNotDecoded() const {
  return AcceptEncoding ? FReply.UnknownCoding(CurrentCmd, ReplyNumber, BytesTotal) : std::string();
}

bool TVelHTTP::ReplyComplete() const {
  return FReply.Complete(CurrentCmd, ReplyNumber, BytesRecvd, BytesTotal);
}

bool TVelHTTP::BodyShort() const {
  return FReply.Short(CurrentCmd, ReplyNumber, BytesRecvd, BytesTotal);
}

void TVelHTTP::ReadHeadLine(std::string& Line) {
  try {
    ReadLnInto(Line);
    TellFrames();
    if (!Line.empty()) FRun.ReplyBegun = true;
  } catch (const ELineTooLong&) {
    // A line is part of the head: one past the socket layer's bound makes the head too
    // large, a fault of the reply, not of the connection.
    throw EHttpHeaderTooLarge();
  }
}

void TVelHTTP::TellStatusLine(std::string_view Line) {
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.StatusLine(At, Line); });
  FireOrStop(OnStage, this, hsStatusLine);
}

void TVelHTTP::RunCapture(TCallRef<void()> Capture) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  Capture();
  ThrowIfCanceled("Socket capture aborted", TSockStep::ssReceive);
}

void TVelHTTP::ReceiveBody(TBodyWire::TWanted Wanted, TBodyWire::TTake Take,
                           TCallRef<bool()> WantMore) {
  const TWaitScope Scope(*this);
  const TAliveGuard Untap(FAlive, [this] { FRun.BodyTapped = false; });
  FRun.BodyTapped = true;
  const TTransferTimeOut Armed(*this);
  ReceiveUntilClosed(Scope,
                     {[&](char*& Target, std::size_t& Size, std::size_t& Want) {
                        Target = IOBuffer.data();
                        Size = IOBufferData;
                        Want = Wanted(IOBufferData);
                      },
                      Take},
                     WantMore);
}

// --- TLS and the tunnel -------------------------------------------------------------------

bool TVelHTTP::PassIsTls() const { return SameNoCase(FRun.UrlScheme, "https"); }

bool TVelHTTP::AtFirstServer() const {
  return !FRun.Redirected || CredentialScope::CallerCredentialsGo(FRun.FirstServer, PassServer());
}

TTlsSettings TVelHTTP::PassTlsSettings() const {
  TTlsSettings Settings = TlsSettings;
  const bool OffersH2 = (HttpVersion == hv2 || HttpVersion == hv2Prior) && CurrentCmd != hcWrapped;
  Settings.Alpn = HttpVersion == hv10 ? "http/1.0" : OffersH2 ? "h2,http/1.1" : "http/1.1";
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
  // The tunnel goes where the connection rules send the pass's server.
  const auto [ToHost, ToPort] = Routed();
  const std::string Request = ProxyTunnel::Request(ToHost, ToPort);
  Write(Request);
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.TunnelRequested(At, Request); });
  CheckAborted();
  const auto Line = [this](std::string& Each) { ReadHeadLine(Each); };
  const auto Status = [this](std::string_view Each) { TellStatusLine(Each); };
  const THeadWire Wire{.HeadLine = Line, .StatusLineHeard = Status};
  std::string Text;
  TReplyHead Head = ProxyTunnel::ReadHead(Wire, ReplyFieldsOf(), Text);
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.TunnelAnswered(At, Text, Head.Status()); });
  CheckAborted();
  if (ProxyTunnel::Opens(Head)) return true;
  FRun.TunnelRefused = true;
  ProxyTunnel::TakeRefusal(FReply, Wire, ReplyFieldsOf(), std::move(Head), Text);
  return false;
}

// --- Observers ----------------------------------------------------------------------------

void TVelHTTP::AddObserver(THttpObserver& Observer) { FObservers.Add(Observer); }

void TVelHTTP::RemoveObserver(THttpObserver& Observer) { FObservers.Remove(Observer); }

void TVelHTTP::TellPassStart() {
  if (FObservers.Empty()) return;
  THttpPassStart Pass;
  Pass.PassIndex = FRun.PassIndex;
  if (CurrentCmd != hcWrapped) Pass.Method = CommandWord(CurrentCmd);
  const std::string Target = ProxyTarget();
  Pass.URL = Target;
  if (!Proxy.empty()) {
    Pass.Proxy = Proxy;
    Pass.ProxyPort = ProxyPort;
  }
  if (TakesTarget(CurrentCmd)) Pass.TargetURI = TargetURI;
  Pass.Header = FRequestHeaderSent;
  std::string FromFile;
  if (HasRequestBody() && OutputFileMode) {
    FromFile = ObserverFacts::FileStart(SendData, THttpObserver::FileBodyShown);
    Pass.Body = FromFile;
  } else if (HasRequestBody()) {
    Pass.Body = SendData;
  }
  Pass.BodySize = FRun.BodySize;
  Pass.HeaderToFile = OutputFileMode;
  Pass.BodyToFile = InputFileMode;
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.PassStarted(At, Pass); });
}

void TVelHTTP::TellFailure(const std::exception_ptr& Error) {
  Tell([&](THttpObserver& O, THttpTime At) { O.Failed(At, Error); });
}

bool TVelHTTP::SocketStep(TSocketStep Step, std::string_view Data) {
  // The connection's number and the owner's answer are the component's own facts.
  if (Step == ssConnected) FRun.Connection = FConnectionsOpened++;
  if (Step == ssHostGiven || Step == ssHostRefused) FRun.HostAnswered = true;
  if (FObservers.Empty()) return true;
  switch (Step) {
    case ssLookedUp:
      return Tell([&](THttpObserver& O, THttpTime At) {
        O.LookedUp(At, ConnectName(), ObserverFacts::AddressText(RemoteAddress));
      });
    case ssHostAsked: return Tell([](THttpObserver& O, THttpTime At) { O.HostAsked(At); });
    case ssHostGiven:
    case ssHostRefused: {
      // Through a proxy the component looks the proxy up again, whatever Host now says.
      const bool Given = Step == ssHostGiven && Proxy.empty();
      return Tell([&](THttpObserver& O, THttpTime At) {
        O.HostAnswered(At, Given ? std::string_view(Host) : std::string_view());
      });
    }
    case ssConnected: {
      const int Number = FRun.Connection;
      return Tell([&](THttpObserver& O, THttpTime At) {
               O.Connected(At, ConnectName(), ObserverFacts::AddressText(RemoteAddress),
                           ConnectPort());
             }) &&
             Tell([Number](THttpObserver& O, THttpTime At) {
               O.ConnectionReady(At, Number, false);
             });
    }
    case ssReceived:
      if (FRun.Stream != 0 && !FramesTold()) return false;
      // A decoded body tells its blocks itself; a header is read through ReadLn, not here.
      if (FRun.BodyTapped || FRun.InHead) return true;
      return Tell([&](THttpObserver& O, THttpTime At) { O.BodyBlock(At, Data); });
    case ssClosed:
      return Tell([&](THttpObserver& O, THttpTime At) {
        const bool Head = FRun.InHead && !OutputFileMode;
        O.Closed(At, Head ? std::string_view(Header) : std::string_view(),
                 FRun.InHead ? ReplyNumber : 0);
      });
    case ssReported: return Tell([&](THttpObserver& O, THttpTime At) { O.Reported(At, Data); });
    case ssTlsStarted: return Tell([&](THttpObserver& O, THttpTime At) { O.TlsStarted(At, Data); });
    case ssTlsEnded: {
      const TTlsFacts* Facts = TlsFacts();
      return !Facts || Tell([&](THttpObserver& O, THttpTime At) { O.TlsEnded(At, *Facts); });
    }
    case ssTrying:
    case ssTryEnded: {
      const std::string Address = ObserverFacts::AddressText(TryAddress());
      const int TryPort = ntohs(TryAddress().si_family == AF_INET6 ? TryAddress().Ipv6.sin6_port
                                                                   : TryAddress().Ipv4.sin_port);
      if (Step == ssTrying)
        return Tell([&](THttpObserver& O, THttpTime At) { O.Trying(At, Address, TryPort); });
      return Tell(
          [&](THttpObserver& O, THttpTime At) { O.TryEnded(At, Address, TryPort, TryError()); });
    }
  }
  return true;
}
