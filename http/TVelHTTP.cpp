// TVelHTTP: the request methods, the splitting of the URL, and the request loop: its passes,
// their events, redirections and the abort that may come from any handler. Composing and
// sending a request is in TVelHTTPRequest.cpp, reading the reply in TVelHTTPReply.cpp.
#include "http/TVelHTTP.h"

#include <exception>
#include <string>

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
}

void TVelHTTP::Abort() {
  // Remembered for the request: Connect clears Canceled, and a later pass must not run.
  if (FBusy) FAbortRequested = true;
  WaitDone = true;
  Cancel();
}

// --- Request methods ----------------------------------------------------------------------

void TVelHTTP::CheckIdle() const {
  if (FBusy)
    throw Exception("A request of this component is already running: wait until it has ended");
}

void TVelHTTP::Start(CmdType Cmd, const std::string& AURL) {
  CheckIdle();
  URL = AURL;
  CurrentCmd = Cmd;
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
  if (!Parts.Scheme.empty()) NewPort = THttpUrl::SchemePort(Parts.Scheme);
  if (const int Given = Parts.PortNumber(); Given != 0) NewPort = Given;
  // A URL without a server ("/x") keeps the host of the previous request or the caller's.
  const std::string NewHost = Parts.Host.empty() ? Host : Parts.Host;
  CheckHeaderValue(NewHost, "Host");
  THttpUrl::CheckHost(NewHost);

  Port = NewPort;
  Host = NewHost;
  FUrlScheme = Parts.Scheme;
  RequestPath = Parts.RequestTarget();
  // Credentials in the URL are the user's, given for the first server; a Location's are not.
  if (!FRedirected) {
    FUrlCredentials = Parts.HasUserInfo && !Parts.User().empty();
    FUrlUser = FUrlCredentials ? Parts.User() : std::string();
    FUrlPassword = FUrlCredentials ? Parts.Password() : std::string();
  }
  if (Parts.Path.empty()) URL.insert(Parts.PathAt, "/");
}

TPassServer TVelHTTP::PassServer() const {
  std::string Scheme = FUrlScheme.empty() ? std::string("http") : FUrlScheme;
  for (char& C : Scheme) C = AsciiLower(C);
  return {Scheme, Host, Port};
}

// --- The request loop ---------------------------------------------------------------------

std::string TVelHTTP::RedirectionTarget() const {
  return THttpUrl::Resolve(ProxyTarget(), Location);
}

TReplyClass TVelHTTP::ReplyClass() const {
  return TReplyHead::Classify(ReplyNumber, FHead.HasLocation());
}

bool TVelHTTP::FollowsRedirection() const { return ReplyClass() == rcRedirection; }

void TVelHTTP::CheckAborted() {
  if (!FAbortRequested) return;
  Canceled = false;
  throw EHttpRequestAborted();
}

void TVelHTTP::RunRequest() {
  CheckIdle();
  FBusy = true;
  FAbortRequested = false;
  FRequestedCmd = CurrentCmd;
  // On every way out: idle again, the caller's command back, and an abort that found no
  // network step to stop forgotten.
  const TAliveGuard IdleAgain(FAlive, [this] {
    FBusy = false;
    CurrentCmd = FRequestedCmd;
    if (FAbortRequested) Canceled = false;
    FAbortRequested = false;
  });
  FRedirected = false;
  // FServerCookie outlives the request: HeaderInfo keeps its copy, which a later request
  // must still tell from the caller's own cookie, and send only to the host that set it.
  for (int Further = 0;; ++Further) {
    CheckAborted();
    FPassIndex = Further;
    SplitURL();
    if (!FRedirected) FFirstServer = PassServer();
    ComposeRequest();
    FireOrStop(OnAboutToSend, this);
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
    if (!AfterExchange(Further)) return;
  }
}

void TVelHTTP::RunExchange() {
  Connect();
  SendRequest();
  FireOrStop(OnStage, this, hsRequestSent);
  CheckAborted();
  ReplyNumber = 0;
  ReadResponseHeader();
  FireOrStop(OnStage, this, hsHeaderEnd);
  CheckAborted();
  ReadBody();
  FireOrStop(OnStage, this, hsBodyEnd);
  const TReplyClass Class = ReplyClass();
  FFollow = Class == rcRedirection;
  switch (Class) {
    case rcSuccess:
      FireOrStop(OnSuccess, FRequestedCmd);
      StatusMessage(2, "Transaction Completed");
      break;
    case rcFailure:
      // No usable status line is no success either: the server sent nothing we can judge.
      FireOrStop(OnFailure, FRequestedCmd);
      break;
    case rcRedirection:
    case rcFinal:
      // Followed or not, a redirection gets neither result event: OnRedirect tells of it.
      break;
  }
}

bool TVelHTTP::AfterExchange(int Further) {
  // A cookie that cannot go into a header line is not taken into HeaderInfo: it would
  // make every later request of this component fail. The next pass would have to send it.
  bool CookieUnsendable = false;
  // OnRedirect reads URL as the target to follow; a target the component cannot follow is
  // refused only once the handler has had its say and the loop would really go on.
  std::exception_ptr Unfollowable;
  if (FFollow) {
    try {
      URL = RedirectionTarget();
    } catch (const EHttpError&) {
      Unfollowable = std::current_exception();
    }
  }
  if (ReplyNumber >= 300 && ReplyNumber <= 398) {
    bool Handled = false;
    if (!CookieIn().empty()) {
      if (!HasLineBreak(CookieIn())) {
        HeaderInfo.Cookie = CookieIn();
        // Remembered as the server's, for the rule of where it may go next.
        FServerCookie = {true, CookieIn(), CredentialScope::CookiePair(CookieIn()), PassServer()};
      } else {
        CookieUnsendable = true;
      }
    }
    FireOrStop(OnRedirect, Handled);
    if (Handled) return false;
  }
  if (ReplyNumber == 401) FireOrStop(OnAuthenticationNeeded, this);
  if (!FFollow) return false;
  if (CookieUnsendable) CheckHeaderValue(CookieIn(), "Set-Cookie");
  if (Further == MaxRedirections) throw EHttpTooManyRedirections();
  if (Unfollowable) std::rethrow_exception(Unfollowable);
  FRedirected = true;
  CurrentCmd = RedirectedCommand(CurrentCmd, ReplyNumber);
  return true;
}
