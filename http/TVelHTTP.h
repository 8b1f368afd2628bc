// TVelHTTP: an HTTP/1.0 client component with one method per request command, built on the
// client socket component. Every request uses one connection of its own: connect, send,
// read the reply up to where its framing ends it (its length, its last chunk, or without
// either the server's close), close. Asked for HTTP/1.1 (HttpVersion), it keeps a connection
// whose reply allows it for the next request to the same server instead of closing it.
//
// A request method waits while the socket layer keeps dispatching the thread's messages, so
// the component's events (and the caller's own) run inside the call. One pass of the
// request loop splits the URL, composes the header block, raises OnAboutToSend, connects,
// sends, reads the reply, raises OnSuccess or OnFailure, disconnects, then OnRedirect and
// OnAuthenticationNeeded. Only a redirection (300-303, 307, 308) with a Location of its own
// starts a further pass, at most MaxRedirections; 303, and 301/302 after a POST, go on with
// a GET without body. A chunked body is decoded as it arrives. A server that answers while
// the body is still being sent (a 413 to a large upload) is heard: the rest is not sent, and
// a reset after a reply whole by its own length leaves that reply standing.
//
// With SecureSocket on, an https URL is requested over TLS (port 443 by default) with the
// caller's TlsSettings, after the TCP connect; through a proxy, in a tunnel the proxy opens on
// CONNECT. Off (the default), such a URL is refused as it always was.
//
// Besides the single-slot events, any number of observers (THttpObserver) follow the passes,
// told every step with its data and its time. The state of a running request is one record
// (TRun), set in one assignment at its start.
//
// The component holds that state and the socket; the work is done by units below it, which
// it hands its fields and calls: RequestLoop (the passes and what follows a reply),
// RequestComposer (the header block), TReplyReader (the reply's head and body), ProxyTunnel
// (CONNECT and its refusal) and THttpObserverList (the observers).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Events.h"
#include "http/CmdNames.h"
#include "http/CredentialScope.h"
#include "http/Http2Transport.h"
#include "http/RequestComposer.h"
#include "http/RequestLoop.h"
#include "http/TConnectionPool.h"
#include "http/TExStringList.h"
#include "http/THeaderInfo.h"
#include "http/THttpObserver.h"
#include "http/THttpObserverList.h"
#include "http/TReplyHead.h"
#include "http/TReplyReader.h"
#include "socket/TQuaywire.h"
#include "tls/TTlsSettings.h"

// The protocol version a request is made with. hv2 offers HTTP/2 by ALPN over TLS ("h2", then
// "http/1.1") and speaks HTTP/1.1 where the server takes no h2, and over plain http; hv2Prior
// also speaks HTTP/2 over plain http to a server known to take it (h2c by prior knowledge,
// no Upgrade). Through a proxy, plain http stays HTTP/1.1; https goes in the tunnel as
// without one.
enum THttpVersion : std::uint8_t { hv10, hv11, hv2, hv2Prior };

// Result of a request: the command that ended in success or failure. No sender.
using TResultEvent = std::function<void(CmdType Cmd)>;

// Points of one pass, in the order a pass reaches them, for a caller that follows or times
// an exchange without taking over the events its owner handles (OnHostResolved and OnConnect
// mark the look-up and the connection).
enum THttpStage : std::uint8_t {
  hsPassStart,    // composed, OnAboutToSend has run: RequestHeaderSent() and PassIndex() are set
  hsRequestSent,  // the header block and the body are sent
  hsStatusLine,   // the reply's status line has arrived (not raised when there was none)
  hsHeaderEnd,    // the reply's header is read: Header, ReplyNumber, BytesTotal are set
  hsBodyEnd       // the body is read: Body (or its file) and BytesRecvd are final
};
using TStageEvent = std::function<void(TObject* Sender, THttpStage Stage)>;

class TVelHTTP : public TQuaywire {
 public:
  explicit TVelHTTP(TComponent* AOwner);
  ~TVelHTTP() override;

  // Ends the running wait (a pending look-up included) with the socket layer's abort error.
  // Reports no status text. The time-out calls it too. Called from a handler between two
  // waits, it stops the request all the same: no further connect, send, read or pass; the
  // request ends with EHttpRequestAborted when a network step was still to come, and
  // returns normally (Canceled cleared) when none was.
  void Abort() override;

  // --- Steps of a request (overridable) --------------------------------------------------------
  virtual void RunRequest();
  // Host, Port and RequestPath from URL (completing URL with "/" when it has no path). See
  // THttpUrl::SplitUser for the reading; the fragment is dropped and RequestPath is the
  // well-formed request target. A user name and password in the URL of the first pass
  // become the request's Basic credentials; they never go into Host or the request line.
  virtual void SplitURL();
  // Rebuilds RequestLines for CurrentCmd.
  virtual void ComposeRequest();
  // Reads the status line and the header lines of one reply, interim (1xx) replies before
  // it included: their lines stay at the head of Header, and ReplyNumber is the final
  // reply's. See TReplyHead for the fields and the bounds. A connection that ends before the
  // reply's first byte raises EHttpEmptyReply.
  virtual void ReadResponseHeader();
  // Sends the header block with its empty line, in one send when it fits one, and the body,
  // if the command has one.
  virtual void SendRequest();

  // --- Observers -------------------------------------------------------------------------------
  // Observer follows every pass from now on, after those added before; adding it again
  // changes nothing. It stays until removed, destroyed or the component is.
  void AddObserver(THttpObserver& Observer);
  // Observer is told nothing more, even of a step being told now.
  void RemoveObserver(THttpObserver& Observer);

  // --- Request methods -----------------------------------------------------------------------
  // Each stores its arguments, sets CurrentCmd and runs the request loop; it returns when
  // the exchange is over. A reply status is reported only through the events; URL errors,
  // socket errors and errors of the caller's handlers pass out. A method called while a
  // request of this component runs (from one of its handlers) is refused with Exception.
  virtual void Options(const std::string& AURL);
  virtual void Get(const std::string& AURL);
  // PostData is URL-encoded field by field (EncodePostData); with OutputFileMode on it
  // names the file to send.
  virtual void Post(const std::string& AURL, const std::string& PostData);
  // Data is the body text, or with OutputFileMode on the name of the file holding it.
  virtual void Put(const std::string& AURL, const std::string& Data);
  virtual void Head(const std::string& AURL);
  virtual void Patch(const std::string& AURL, const std::string& Data);
  virtual void Delete(const std::string& AURL);
  virtual void Trace(const std::string& AURL, const std::string& Data);
  virtual void Copy(const std::string& AURL, const std::string& Destination);
  virtual void Move(const std::string& AURL, const std::string& Destination);
  virtual void Link(const std::string& AURL, const std::string& LinkValue);
  virtual void UnLink(const std::string& AURL, const std::string& LinkValue);
  // Sends no request line: the header block starts with the Host line.
  virtual void Wrapped(const std::string& AURL, const std::string& Data);
  // The request of Cmd through the method above that sends it: Data is the body of the
  // commands that carry one (CarriesBody), Target the second argument of those that take one
  // (TakesTarget); each is left out of the others.
  void Perform(CmdType Cmd, const std::string& AURL, const std::string& Data = {},
               const std::string& Target = {});

  // --- Published properties ------------------------------------------------------------------
  // Host, Port, TimeOut, ReportLevel, Proxy, ProxyPort, ReplyNumber, BytesTotal, OnStatus,
  // OnConnect, OnDisconnect, OnPacketRecvd, OnPacketSent ... come from TQuaywire.
  std::string Body = "Default.htm";  // reply body, or (InputFileMode) the file receiving it
  std::string Header = "Head.txt";   // reply header, or (OutputFileMode) the file receiving it
  THeaderInfo HeaderInfo;            // owned; callers set its fields
  bool InputFileMode = false;        // reply body goes to the file named by Body
  bool OutputFileMode = false;       // request body from a file; reply header to a file

  TNotifyEvent OnAboutToSend;           // request composed, about to connect
  TResultEvent OnSuccess;               // status below 299
  TResultEvent OnFailure;               // status 400 and above, or no usable status
  THandlerEvent OnRedirect;             // status 300 to 398; Handled stops the request
  TNotifyEvent OnAuthenticationNeeded;  // status 401
  // Each stage of a pass as it is reached, from after OnAboutToSend to before the result
  // event. A handler's error ends the request like a socket error.
  TStageEvent OnStage;

  // --- Request header lines of the caller's ------------------------------------------------
  // The first "Name: value" line of a name replaces every line of that name the component
  // composes (Host, Accept, Content-type, User-Agent, From, Cookie, Referer, Authorization
  // ...), at the place of the first, or is added after them; later lines of that name are
  // all sent too: beside the one before for a name the component composes, at the end (in
  // the order given, as curl sends them) for a name of the caller's own. "Name:" with no
  // value removes the composed line(s) of that name. Names compare in any case. Refused
  // before connecting (EHttpSettingError): a line with CR, LF or NUL, one without a name and
  // its colon, and a Content-Length line (the component computes it). Applied to every pass,
  // by the one rule for credentials (CredentialScope.h): an Authorization or Cookie line of
  // the caller's, whether from here, the URL or HeaderInfo, goes to the server (host and
  // port) of the first pass only; a cookie a redirecting reply set goes on, as its name and
  // value only, to passes to that reply's host alone. Credentials: these lines first, then a
  // user name and password in the URL, then HeaderInfo's.
  std::vector<std::string> CustomHeaders;

  // What the last reply asks of the request loop (see TReplyHead::Classify). A redirection
  // counts only with a Location in that same reply.
  TReplyClass ReplyClass() const;
  // The last reply's body ended (by the close or a reset) before the Content-Length its
  // header announced: the reply is incomplete. The body is kept as it came; the events are
  // those of a complete reply, and a caller that reports a result says so.
  bool BodyShort() const;

  // --- Request state (public, unpublished) -------------------------------------------------
  std::string URL;          // of the request in progress; completed and redirected in place
  std::string RequestPath;  // path part of URL, sent in the request line without a proxy
  std::string SendData;     // request body text, or (OutputFileMode) its file name
  std::string TargetURI;    // second argument of Copy, Move, Link and UnLink
  // The command of the pass in progress: the caller's, or GET after a redirection that
  // asks for one. The result events name the caller's; it is back here after the request.
  CmdType CurrentCmd = hcGet;
  TExStringList RequestLines;  // the composed header lines, request line first
  std::string Location;        // last Location value received by any reply

  // Value of the last Set-Cookie line of the last reply; empty when it had none.
  const std::string& CookieIn() const { return FReply.Head().CookieIn(); }
  // The header block of the last pass: the bytes SendRequest sends, every line of
  // RequestLines with CR LF, then the empty line. The body is not included.
  const std::string& RequestHeaderSent() const { return FRequestHeaderSent; }
  // True while a request method of this component runs.
  bool Busy() const { return FRun.Busy; }
  // The pass of the running (or last) request: 0 for the first, then 1 after one
  // redirection and so on. Read in OnAboutToSend, it tells a new request from a further pass.
  int PassIndex() const { return FRun.PassIndex; }

  // Further passes after the first that one request may make before it gives up.
  static constexpr int MaxRedirections = RequestLoop::MaxRedirections;

  // --- Body bound, body sink and form encoding ---------------------------------------------
  // Bound of a reply body received into Body or BodySink, in bytes (after a chunked coding is
  // taken off); 0 sets none. Past it the request ends with EHttpBodyTooLarge ("Reply body
  // larger than N bytes") and Body keeps exactly the first N bytes. A body into a file
  // (InputFileMode) is not bounded.
  std::int64_t MaxBodySize = 0;
  // Receives each block of a reply body, in order, instead of Body, when set and
  // InputFileMode is off: Body stays empty and nothing of the body is kept. MaxBodySize
  // applies. An error the sink raises ends the request, after the connection is closed.
  using TBodySink = std::function<void(std::string_view Block)>;
  TBodySink BodySink;
  // --- Content codings -------------------------------------------------------------------------
  // Off (the default): nothing is offered and a coded body is kept as it came. On: each
  // request offers "Accept-Encoding: deflate, gzip, br, zstd" (after the Accept lines; a
  // caller's Accept-Encoding line takes its place), and a reply body whose Content-Encoding
  // lists only those (and identity) is decoded as it arrives, after any chunked framing,
  // before Body, its file, BodySink and the observers' BodyBlock; MaxBodySize bounds the
  // decoded bytes. A coded body that does not decode (corrupt, cut short, or more than
  // TContentDecoder's ratio to its coded size) ends the request with EHttpContentError, the
  // bytes decoded before it kept. A coding not known is reported at level 2
  // ("Content-Encoding not decoded: compress") and the body kept as it came. BytesRecvd, and
  // the checks of a body's length and framing, count the bytes on the wire.
  bool AcceptEncoding = false;
  // The first coding the last reply lists that is not decoded, while AcceptEncoding is on
  // and the reply has a body; "" otherwise. Set once the head is read.
  std::string ContentNotDecoded() const;
  // The last body was decoded (AcceptEncoding, known codings): true, and its decoded bytes.
  bool BodyDecoded() const { return FReply.Decoded(); }
  std::int64_t BodyDecodedBytes() const { return FReply.DecodedBytes(); }
  // --- Protocol version and kept connections ------------------------------------------------
  // hv10 (the default): every request line says HTTP/1.0 and every connection closes after
  // its exchange, exactly as ever. hv11: the request line says HTTP/1.1, and a connection
  // whose reply ended where its framing said (its length, its last chunk, or no body for
  // HEAD, 204 and 304), read to that end, and that said no "Connection: close", is kept
  // for the next request to the same scheme, server, proxy, route and TLS settings (see
  // TConnectionPool), also within a redirection chain. A request on a kept connection makes
  // no look-up, connect or handshake, and reports "Re-using connection #N" (level 8). When
  // the server had closed it before a whole line of the reply came, a GET, HEAD, OPTIONS, PUT or
  // DELETE whose body can be sent again goes again once on a new connection; any other
  // request fails with EHttpEmptyReply. Abort, a time-out and an error close the connection.
  // A kept connection takes its TLS session along: TlsFacts() is empty once it is kept, and
  // the observers were told the facts (TlsEnded) when the session was made. Between requests
  // the component then holds no socket of its own, and Disconnect raises no OnDisconnect.
  THttpVersion HttpVersion = hv10;
  // At most this many idle connections are kept (the one idle longest goes first), each for
  // at most IdleTimeout ms, or what the server's Keep-Alive timeout says when that is less:
  // a timer of the thread closes it then, while the thread dispatches its messages.
  std::size_t MaxIdleConnections = 8;
  int IdleTimeout = 60000;
  // Closes every kept connection now (TLS says goodbye first); the destructor does too.
  void CloseIdleConnections();
  std::size_t IdleConnections() const;
  // The connection of the pass in progress (or the last): its number among those this
  // component opened, from 0, or -1 before the first; and whether it was a kept one.
  int ConnectionNumber() const { return FRun.Connection; }
  bool ConnectionReused() const { return FRun.Reused; }
  // Connections this component has opened so far.
  int ConnectionsOpened() const { return FConnectionsOpened; }
  // The last reply's HTTP version as its status line gave it (10 for HTTP/1.0, 11, 20 for
  // HTTP/2); 0 before one was read or when it had none.
  int ReplyVersion() const { return FReply.Head().Version(); }
  // The pass in progress (or the last) speaks HTTP/2: its stream's number; 0 otherwise.
  int StreamNumber() const { return FRun.Stream; }

  // --- HTTPS -----------------------------------------------------------------------------------
  // Off: an https URL (or a redirection to one) is refused with "HTTP Secure Socket is not
  // supported". On: it is requested over TLS, checked by TlsSettings; through a proxy in a
  // tunnel (CONNECT host:port with a Host line and nothing else), whose refusal (any reply
  // but a 2xx) is the pass's reply: shown as read, raising OnFailure, never followed. The
  // client certificate of TlsSettings goes to the first pass's server only, as the
  // Authorization line does.
  bool SecureSocket = false;
  TTlsSettings TlsSettings;
  // The last reply's body ended with the server's close, without close_notify and with no
  // length or framing to say it was whole: it may be cut short (TlsCutMessage). The body is
  // kept and the events are those of a complete reply.
  bool BodyMayBeCut() const { return FRun.BodyMayBeCut; }
  // The last reply is the proxy's refusal of the tunnel, not the server's.
  bool TunnelRefused() const { return FRun.TunnelRefused; }

  // --- Where connections go --------------------------------------------------------------------
  // A connection for Host:Port goes to ToHost:ToPort instead: the first rule whose Host (in
  // any case; empty for any) and Port (0 for any) match the pass's applies, and an empty
  // ToHost or a ToPort of 0 keeps the pass's own. Only the connection moves: the URL's name is
  // still the one checked against the certificate and sent as SNI and in the Host line.
  // Through the proxy the connection goes to the proxy all the same, and an https pass's
  // tunnel (its CONNECT line) goes where the rule says. None (the default) routes nothing.
  struct TConnectRule {
    std::string Host;
    int Port = 0;
    std::string ToHost;
    int ToPort = 0;
  };
  std::vector<TConnectRule> ConnectRules;
  // The name a connection looks up (the proxy's through one, else where ConnectRules send
  // it) for that port has Address, without a look-up; the first match counts. Address is one
  // address or a comma-separated list of them, dotted IPv4 or IPv6 (bare or in brackets);
  // the connection races over them as over a look-up's, within AddressFamily.
  struct TResolveRule {
    std::string Host;
    int Port = 0;
    std::string Address;
  };
  std::vector<TResolveRule> ResolveRules;
  // The addresses of a rule's Address, port 0; none when any of them is no address.
  static std::vector<win::SOCKADDR_INET> RuleAddresses(std::string_view List);

  // Post URL-encodes its data (string mode only). Off, SendData goes out as given, for data
  // that is encoded already or is no form at all.
  bool EncodePostData = true;

 protected:
  // The server answered while the body was still being sent (a 413 or a 401 to a large
  // upload): the rest is not sent, and the reply is read. An interim reply is no answer.
  bool AnswerEndsSend() override;
  // The body has arrived whole by its announced length, or the reply has none: a reset
  // then ends the body as the close would.
  bool ReplyComplete() const override;
  // Tells the observers of the socket's own steps.
  bool SocketStep(TSocketStep Step, std::string_view Data) override;

 private:
  // Refuses a request while one of this component runs.
  void CheckIdle() const;
  // CheckIdle, then the command and the URL of a request method.
  void Start(CmdType Cmd, const std::string& AURL);
  bool HasRequestBody() const;
  std::string ProxyTarget() const;
  // The last reply's own Location resolved against the URL of the request that received
  // it; asked only when ReplyClass says the reply is followed. Refuses a scheme the
  // component does not speak.
  std::string RedirectionTarget() const;
  void ReadBody();
  // The pass's URL is https.
  bool PassIsTls() const;
  // The pass goes to the first pass's server (scheme, host and port): the caller's
  // credentials go with it.
  bool AtFirstServer() const;
  // The settings of the pass's session: the caller's, less the client certificate after the
  // first server.
  TTlsSettings PassTlsSettings() const;
  // TLS for the pass, in a tunnel when it goes through the proxy; false when the proxy
  // refused the tunnel: its reply is then the pass's, its head read.
  bool OpenSecureChannel();
  bool OpenTunnel();
  // From the reply's head on: the body, its end told, the result event.
  void FinishReply();
  // One pass: a kept connection or a new one, then send, read the reply, raise the result
  // event.
  void RunExchange();
  // Sends the request and reads the reply on the open connection.
  void SendAndRead();

  // --- Kept connections ------------------------------------------------------------------------
  // What the pass's connection is kept under: everything that makes it the one to use.
  TPoolKey PassKey() const;
  // Takes the pass's kept connection when one still stands: true, told as reused.
  bool ReuseConnection();
  // Why the pass cannot go again on a new connection after its kept one closed under it (or
  // Reason, when given: what else made it go again); "" when it can (RFC 9110, 9.2.2:
  // idempotent, and its body can be sent again).
  std::string ResendRefusal(const std::string& Reason = {}) const;
  // The pass goes again on a new connection, once: Why it does ("" for a kept connection the
  // server closed). Raises the refusal when it cannot.
  void GoAgain(const std::string& Why);
  // A 421 reply over HTTP/2 on the pass's first try: it goes again, on a connection of its own.
  struct TMisdirected {};
  // --- HTTP/2 ----------------------------------------------------------------------------------
  // The connection's HTTP/2 transport, when it speaks HTTP/2.
  THttp2Transport* Http2() const;
  // After the connection (and TLS): HTTP/2 over it when the version asks for it and the server
  // took h2 by ALPN, or over plain http by prior knowledge.
  void SpeakHttp2IfChosen();
  // A stop or a time-out over HTTP/2: the stream is cancelled and its connection kept when it
  // can carry more (Close then called off).
  void KeepCancelled(TAliveGuard& Close);
  // The frames the connection went and came with since the last call, told to the observers;
  // false when one of them destroyed the component.
  bool FramesTold();
  void TellFrames();
  // The pass's reply leaves its connection fit for another request, and the pool takes it.
  bool ConnectionKeeps() const;
  void KeepConnection(std::unique_ptr<TConnection> Kept);
  // The timer that closes kept connections as their idle time runs out, set for the first.
  void ArmSweep();
  TConnectionPool::TLimits PoolLimits() const;
  // The host and port the pass's connection is for: Host and Port, moved by the first
  // matching ConnectRules entry.
  std::pair<std::string, int> Routed() const;
  // The socket's connection target for the pass, by ConnectRules and ResolveRules.
  void RouteConnection();
  // The network step about to be taken is refused when Abort was called meanwhile.
  void CheckAborted();
  // The server of the pass in progress, as CredentialScope compares servers.
  TPassServer PassServer() const;
  // What the composer makes the pass's header block of.
  TRequestPlan PassPlan() const;
  void SendHeaderBlock();
  // The component's fields the reply reader fills; the body's blocks go to Sink when set.
  TReplyFields ReplyFieldsOf();
  TBodyFields BodyFieldsOf(const TBodySink& Sink);

  // --- The request loop's steps (RequestLoop::RunPasses) -------------------------------------
  // Splits the URL and composes the pass; OnAboutToSend, the observers and hsPassStart.
  void StartPass(int Index);
  // RunExchange, the connection closed on every way out.
  void Exchange();
  // After the pass: URL becomes the target (OnRedirect reads it there), the cookie is
  // taken, OnRedirect and OnAuthenticationNeeded run; the next pass when one is to follow.
  std::optional<TNextPass> AfterExchange(int Further);
  // A pass after the first, with the command the reply asked for.
  void GoOn(const TNextPass& Next);

  // --- The connection as the reply reader uses it (THeadWire, TBodyWire) --------------------
  // ReadLn into Line; a line past the socket's bound makes the head too large.
  void ReadHeadLine(std::string& Line);
  void TellStatusLine(std::string_view Line);
  void RunCapture(TCallRef<void()> Capture);
  void ReceiveBody(TBodyWire::TWanted Wanted, TBodyWire::TTake Take, TCallRef<bool()> WantMore);

  // The last reply read: its head and the room its lines are read into.
  TReplyReader FReply;
  // The header block of the pass, composed once: what is sent and what everyone is shown.
  std::string FRequestHeaderSent;

  // --- State of the request loop ------------------------------------------------------------
  // The running (or last) request, from RunRequest's start, where it is set in one
  // assignment; Busy and AbortRequested are cleared on the way out, the rest stays readable.
  struct TRun {
    bool Busy = false;
    bool AbortRequested = false;   // Abort was called while the request ran
    CmdType RequestedCmd = hcGet;  // the caller's command; CurrentCmd is the pass's
    int PassIndex = 0;
    bool Redirected = false;      // a pass after the first
    bool Follow = false;          // the pass's reply is to be followed
    bool InHead = false;          // the pass is reading its reply's head
    bool BodyTapped = false;      // the body goes through a TBodyOutput, which tells its blocks
    bool TunnelRefused = false;   // the pass's reply is the proxy's refusal of its tunnel
    bool BodyMayBeCut = false;    // the pass's body ended by a close without close_notify
    int Connection = -1;          // the pass's connection's number; -1 before one is ready
    bool Reused = false;          // it is a kept one
    int Stream = 0;               // the pass's HTTP/2 stream; 0 when it speaks HTTP/1.x
    bool Again = false;           // the pass goes a second time, on a new connection
    bool ReplyBegun = false;      // a line of the pass's reply has come
    bool HostAnswered = false;    // the owner named another host after a failed look-up
    TPoolKey Key{};               // what the pass's connection is kept and found under
    std::int64_t BodySize = 0;    // the pass's request body, as its Content-Length says
    TPassServer FirstServer{};    // the server the caller's credentials are meant for
    std::string UrlScheme{};      // the current URL's scheme as written; "" when none
    bool UrlCredentials = false;  // the first pass's URL named a user
    std::string UrlUser{};
    std::string UrlPassword{};
  };
  TRun FRun;
  // Outlives the request: HeaderInfo keeps the loop's copy of a redirection's cookie, which a
  // later request must still tell from the caller's own, and send only to the host that set it.
  TServerCookie FServerCookie;
  // The idle connections kept for later requests (HTTP/1.1), and how many were opened.
  std::unique_ptr<TConnectionPool> FPool;
  std::unique_ptr<TThreadTimer> FSweep;
  int FConnectionsOpened = 0;

  // --- Observers ------------------------------------------------------------------------------
  // Tells each observer Step; false when one of them destroyed the component.
  template <class F>
  bool Tell(F Step) {
    return FObservers.Tell(FAlive, std::move(Step));
  }
  // Tell, ending the running call with EComponentDestroyed when the component is gone.
  template <class F>
  void TellOrStop(F Step) {
    if (!Tell(std::move(Step))) throw EComponentDestroyed();
  }
  void TellPassStart();
  // The error leaving the request, told to the observers; raised again by the caller.
  void TellFailure(const std::exception_ptr& Error);
  THttpObserverList FObservers;
};
