// TQuaywire: a TCP client socket component whose calls wait — while the thread's messages
// keep flowing — for the host look-up, the connection and the data.
//
// The socket runs in the platform's asynchronous mode: connect, accept, read and close
// events and look-up completions arrive as messages to a hidden notification window and are
// handled by HandleSocketMessage. A waiting call (ResolveHost, Connect, ReadLn, the
// captures, ...) loops: it tests the flags those handlers set, and when nothing is ready it
// waits for the next event and dispatches every pending message. So the component's events,
// its time-out timer and the user's own actions (a Cancel button) run re-entrantly inside
// the call, and the wait ends when one of them has set the flag it polls.
//
// Every wait goes through one primitive (WaitUntil, AwaitEvent) with one set of rules: a
// cancel ends it, the time-out ends it where the operation armed one, and a component
// destroyed under it ends it with EComponentDestroyed. The look-up, connect or accept a wait
// is for is held in one record, FPending: what was asked and what came back.
//
// Everything happens on the thread that created the component. Status texts are reported
// through OnStatus by level (1 reply lines, 2 "Transaction Completed", 4 send/accept/close,
// 8 trace) up to ReportLevel.
//
// A derived component hears of the socket's own steps (look-up, connect, receive, close,
// status texts) through SocketStep, before their events, to tell observers of its own.
//
// Every transfer goes through the connection's transport (TConnection): the socket's own, or
// once StartTls has installed one, TLS over it; the readers and writers do not know which. TLS
// keeps the notifications, the time-out, the counters and the re-entrancy of every other wait,
// and the counters count its plaintext. The connection is an object of its own that can be
// handed to another component (ReleaseConnection, AdoptConnection).
//
// The sources: TQuaywire.cpp holds the component's own members, short, each handing its work
// to a unit below: TConnection, TPlainTransport and TTlsTransport (the connection and its
// transports), TConnectRace (the attempts over a name's addresses), TLineReader (ReadLn's
// peeks and look-ahead), TCaptureLoop (the captures'
// receive loop), SendLoop (every send), TTimeOut (the time-out's countdown), SocketNotice
// (the notification window's messages), CaptureRoom (a capture's string room) and
// WinsockReport (the start-up lines). The units take what they need of the component
// through TTransferHost and never include this header.
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Events.h"
#include "base/TComponent.h"
#include "base/TStringList.h"
#include "platform/WinSock.h"
#include "platform/WinUser.h"
#include "socket/ComponentGuard.h"
#include "socket/SockErrors.h"
#include "socket/SocketNotice.h"
#include "socket/TCallRef.h"
#include "socket/TCaptureLoop.h"
#include "socket/TConnectRace.h"
#include "socket/TConnection.h"
#include "socket/TLineReader.h"
#include "socket/TMessage.h"
#include "socket/TThreadTimer.h"
#include "socket/TTimeOut.h"

constexpr long SocketEventMask =
    win::FD_READ | win::FD_OOB | win::FD_ACCEPT | win::FD_CONNECT | win::FD_CLOSE;  // 61
constexpr std::size_t IOBufferData = 65536;  // data bytes of IOBuffer; one more holds a NUL
// Bytes a receive of the captures may take at once, and how many they take between two
// pumps of the messages.
constexpr std::size_t CaptureReceive = 4 * IOBufferData;
constexpr std::size_t PumpEvery = 4 * IOBufferData;

struct TTlsSettings;
struct TTlsFacts;

// The families of the addresses a look-up asks for: both (IPv6 and IPv4), or one.
enum TAddressFamily : std::uint8_t { afAny, afIPv4, afIPv6 };

class TQuaywire : public TComponent {
  // The connection: first, since SocketHandle and RemoteAddress name parts of it.
  TConnection FConnection;

 public:
  explicit TQuaywire(TComponent* AOwner);
  ~TQuaywire() override;

  // --- Connection ----------------------------------------------------------------------
  // Waits for an incoming data connection announced on SocketHandle and accepts it.
  virtual std::uint16_t Accept();
  // Resolves Proxy (or Host) and connects; returns when connected, raises ESockError otherwise.
  // A name with several addresses is raced over them (TConnectRace): OnConnect comes once,
  // for the first to connect, and OnConnectionFailed only when every one failed or the wait
  // ended.
  virtual void Connect();
  // Reports "Disconnecting" and closes the socket (a fresh one is opened).
  virtual void Disconnect();
  // Sends Command as a line and returns the reply line; ReplyNumber gets its leading number.
  virtual std::string Transaction(const std::string& Command);
  // Ends the running wait (the time-out calls it too).
  virtual void Abort();

  void Cancel();
  void ResolveHost();
  void RequestCloseSocket();
  bool DataAvailable();

  // --- Data transfer -------------------------------------------------------------------
  void SendBuffer(const char* Buffer, std::uint16_t Length);
  void Write(const std::string& Text);
  void Writeln(const std::string& Text);
  std::string ReadLn();
  void SendFile(const std::string& FileName);
  void CaptureFile(const std::string& FileName);
  void CaptureString(std::string& Text, std::int32_t MaxLength);
  // The same captures ending also once Limit bytes have arrived, without receiving one more:
  // what follows stays in the socket. For a protocol whose message says its own length; a
  // Limit of -1 sets no bound, and 0 receives nothing.
  void CaptureFileAtMost(const std::string& FileName, std::int64_t Limit);
  void CaptureStringAtMost(std::string& Text, std::int64_t Limit);

  // --- TLS ---------------------------------------------------------------------------------
  // Starts TLS on the connected socket for HostName (the name the certificate is checked
  // against, sent as SNI unless it is an IP literal) and Port: the handshake, driven by the
  // component's wait (TimeOut, Canceled and the notifications as for every wait), then the
  // check. Returns once both passed; until then no byte of the caller's is sent. Raises
  // ETlsSockError (step ssHandshake or ssCertificate), ESockError for a reset, and
  // EAbortError at ssHandshake for a time-out or a cancel.
  void StartTls(const TTlsSettings& Settings, const std::string& HostName);
  // A session is open on the connection: from StartTls until the connection closes
  // (Disconnect, or the peer's close once its bytes are read), whoever ended TLS first.
  bool TlsActive() const;
  // The facts of the connection's session, passed or failed; nullptr when none was started
  // since the last Connect.
  const TTlsFacts* TlsFacts() const;
  // The session's bytes ended with the connection's close and no close_notify: what came
  // last may have been cut short by whoever closed it.
  bool TlsCut() const;

  // --- The connection as an object ------------------------------------------------------
  // Hands the connection on (its socket, transport, address and TLS state) and leaves the
  // component with a fresh socket, as after a close but with no close made and no event.
  // Refused with ESockError while a call of the component waits. Without Fresh the component
  // is left with no socket at all until the next Connect opens one (or AdoptConnection gives
  // it one): for a caller that is about to adopt another connection, the fresh socket would
  // only be closed again.
  std::unique_ptr<TConnection> ReleaseConnection(bool Fresh = true);
  // Goes on with Connection, connected: its socket's notifications come to this component
  // from now. The component's own socket is closed first, without events. Refused while a
  // call waits or while the component is connected.
  void AdoptConnection(std::unique_ptr<TConnection> Connection);

  // --- A protocol over the connection's bytes ------------------------------------------
  // Every transfer of the connection goes through Upper from now until the next Connect: a
  // transport made over LowerTransport() (the socket's, or TLS over it). It goes along when
  // the connection is handed on.
  void InstallUpper(std::unique_ptr<TUpperTransport> Upper);
  TUpperTransport* Upper() const;
  TTransport& LowerTransport();

  // --- Status, time-out and errors -------------------------------------------------------
  void StatusMessage(std::uint8_t Level, const std::string& Text) {
    if (Level <= ReportLevel) ReportStatus(Text);
  }
  // The same for a fixed text: it goes into LastStatus's room, without a string of its own.
  void StatusMessage(std::uint8_t Level, const char* Text) {
    if (Level <= ReportLevel) ReportStatus(Text);
  }
  void TimerOn();
  // The time-out as the component's own operations arm it: reported and counted from now
  // like TimerOn, but the system timer is set only when the operation first lets messages
  // flow, since only then can it fire. Quiet: without the "Timer On"/"Timer Off" texts.
  void StartTimeOut(bool Quiet = false);
  void TimerOff(bool Quiet = false);
  void TimerTriggered(TObject* Sender);
  // Raises ESockError with the text of the platform's last error, unless that is Tolerated
  // (or no socket error); Step is where the failed call was made.
  void CheckSocketError(std::uint16_t Tolerated, std::string& Msg,
                        TSockStep Step = TSockStep::ssNone);
  void LookupErrorMessage(std::uint16_t ErrorNo, std::string& Msg);
  void InitWinsock();
  void HandleSocketMessage(TMessage& Msg);

  // Components that performed WinSock start-up and are still alive.
  static int WinsockUsers;

  // --- Events ----------------------------------------------------------------------------
  TNotifyEvent OnDataAvailable;
  TNotifyEvent OnAccept;
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;
  TSockErrorEvent OnError;
  THandlerEvent OnInvalidHost;
  TOnHostResolved OnHostResolved;
  TOnStatus OnStatus;
  TNotifyEvent OnConnectionFailed;
  TNotifyEvent OnPacketRecvd;
  TNotifyEvent OnPacketSent;

  // --- Properties and state ---------------------------------------------------------------
  std::string Host;
  int Port = 0;     // only the low 16 bits are used
  int TimeOut = 0;  // ms per wait; 0 = none; must not be negative
  int ReportLevel = 1;
  std::string Proxy;  // when set, resolved and connected instead of Host
  int ProxyPort = 0;
  // The families a look-up asks for. A literal of the other family has no address then.
  TAddressFamily AddressFamily = afAny;

  // The name and port Connect looks up and connects to: the connection target's where it
  // names them, else Proxy and ProxyPort when a proxy is set, else Host and Port.
  const std::string& ConnectName() const;
  int ConnectPort() const;

  TStringList WinsockInfo;  // the start-up report, in the component that started WinSock
  // 64-bit so that transfers beyond 2 GiB count correctly.
  std::int64_t BytesSent = 0;
  std::int64_t BytesRecvd = 0;
  std::int64_t BytesTotal = 0;
  bool Canceled = false;
  bool BeingDestroyed = false;
  int LastErrorNo = 0;
  std::string LastStatus;
  TThreadTimer* Timer = nullptr;
  bool EventSucceeded = false;
  bool TimedOut = false;
  bool WaitDone = false;
  win::WSADATA WinsockData{};
  // The connection's, as SocketHandle: IPv4 or IPv6 by si_family, with the port.
  win::SOCKADDR_INET& RemoteAddress = FConnection.RemoteAddress;
  // The connection's own address and port, as its socket had them when it connected (also
  // after it closed); all zero before a connection.
  win::SOCKADDR_INET LocalAddress() const;
  std::string TransactionReply;
  std::int16_t ReplyNumber = 0;
  std::uint16_t& SocketHandle = FConnection.Plain.Handle;
  win::HWND NotifyWindow = 0;
  bool Connected = false;

  std::array<char, IOBufferData + 1> IOBuffer;  // what the last transfer put there
  std::unique_ptr<char[]> LookupBuffer;  // the look-up's reply, built by the platform

 protected:
  void BeforeDestruction() override;

  // Where a component that routes its connections sends the next one, set before Connect.
  // Host and Port stay the names the protocol speaks of (the certificate's name, the SNI, the
  // session's key): only the connection goes elsewhere. Empty (the default) changes nothing.
  struct TConnectTarget {
    std::string Name;           // looked up and connected to instead; "" keeps ConnectName's
    int Port = 0;               // 0 keeps ConnectPort's
    // The addresses (port 0) the name is taken to have, unasked; none asks. Those of a
    // family AddressFamily leaves out are dropped, and when none is left the name is asked.
    std::vector<win::SOCKADDR_INET> Addresses;
  };
  TConnectTarget FConnectTarget;

  // Marks one wait of this component for as long as it lives: re-entrant Connect calls are
  // refused while any is open, and a component destroyed under a wait is detected without
  // touching its memory.
  class TWaitScope {
   public:
    explicit TWaitScope(TQuaywire& Owner);
    bool OwnerAlive() const { return FGuard.OwnerAlive(); }

   private:
    TAliveGuard FGuard;
  };

  // Marks a data transfer for as long as it lives; a second one started meanwhile (from a
  // handler running inside the first one's waits) is refused with ESockError.
  class TTransferScope {
   public:
    explicit TTransferScope(TQuaywire& Owner);

   private:
    TAliveGuard FGuard;
  };

  // The time-out of a transfer: started (StartTimeOut) for as long as it lives, and
  // disarmed (TimerOff) on every way out unless the component is gone. Quiet: for an
  // operation whose status texts do not include the timer's.
  class TTransferTimeOut {
   public:
    explicit TTransferTimeOut(TQuaywire& Owner, bool Quiet = false);

   private:
    TAliveGuard FGuard;
  };

  // --- The wait -------------------------------------------------------------------------
  // How a wait ended, as the flags tell at the moment of asking: TimedOut first (where the
  // wait counts the time-out), then Canceled. The flags are read, not remembered, since a
  // handler run after the wait (a status text, OnConnectionFailed) may still set them.
  enum class TWaitEnd : std::uint8_t { Ready, TimedOut, Canceled };

  // One pass of the wait: false at once when Canceled is set (a cancel made before the wait
  // ends it without waiting); otherwise blocks until the next event may be ready (the
  // time-out's system timer set first), dispatches every pending message and returns true.
  // Raises EComponentDestroyed when the component was destroyed meanwhile, before touching
  // any of its members.
  bool AwaitEvent(const TWaitScope& Scope);
  // The wait for a notification: passes of AwaitEvent until Ready() holds, Canceled is set
  // or, when TimeOutEnds, TimedOut is set.
  template <class Pred>
  void WaitUntil(const TWaitScope& Scope, bool TimeOutEnds, Pred Ready) {
    while (!Ready() && !(TimeOutEnds && TimedOut) && AwaitEvent(Scope)) {
    }
  }
  TWaitEnd WaitEnded(bool TimeOutEnds) const {
    if (TimeOutEnds && TimedOut) return TWaitEnd::TimedOut;
    return Canceled ? TWaitEnd::Canceled : TWaitEnd::Ready;
  }
  // One pass without the cancel test: block, then dispatch (same destruction check).
  void WaitForEvent(const TWaitScope& Scope);
  // Dispatches what is pending without blocking; same destruction check.
  void PumpMessages(const TWaitScope& Scope);
  // The end of a transfer that stopped for a cancel or a time-out: clears Canceled and
  // raises EAbortError with Text, for Step, caused by the time-out when TimedOut is set and
  // the operation armed one (TimeOutCounts), else by a cancel. Nothing when Canceled is not
  // set.
  void ThrowIfCanceled(const char* Text, TSockStep Step, bool TimeOutCounts = true);

  // The send loop of SendBuffer and SendFile: sends Count bytes unless Canceled, calling
  // Sent after every accepted send, and waits with messages flowing while there is no room.
  void SendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                 const std::function<void(int)>& Sent, int Flags = 0);

  // Where a capture receives next (TCaptureLoop.h).
  using TReceiveTarget = ::TReceiveTarget;
  // The receive loop of the captures: receives into Target until the peer closes, the
  // socket is no longer connected, Canceled is set or WantMore() says enough. A receive may
  // take up to CaptureReceive bytes at once; BytesRecvd and OnPacketRecvd still go by blocks
  // of at most IOBufferData bytes. Messages are pumped after every PumpEvery bytes and
  // whenever the loop has to wait.
  void ReceiveUntilClosed(const TWaitScope& Scope, const TReceiveTarget& Target,
                          TCallRef<bool()> WantMore);
  // A receive area of CaptureReceive bytes for the captures that have none of their own,
  // made at the first use and kept.
  char* CaptureBuffer();

  // --- A reply that comes early, a reset that comes late ----------------------------------
  // Asked by the send loop when a send finds no room, or the connection broken under it,
  // while bytes from the peer wait unread: true when they are the peer's answer, so that
  // the rest is not sent (SendCutShort) and the answer can be read. A plain socket sends
  // all it is given; a request-reply protocol whose server may answer before it has read
  // everything (an error to a large upload) says yes.
  virtual bool AnswerEndsSend() { return false; }
  // Asked when a capture's receive finds the connection reset: true when everything the
  // peer meant to send has arrived by the protocol's own framing, so that the reset ends
  // the capture as the peer's close would. Otherwise the reset is the capture's error.
  virtual bool ReplyComplete() const { return false; }
  // The sends of this connection stopped early for the peer's answer; further sends do
  // nothing until the next Connect.
  bool SendCutShort() const { return FSendCutShort; }
  // Bytes from the peer wait that ReadLn has not handed out yet.
  bool UnreadWaiting() const;

  // --- Steps a derived component tells parties of its own -------------------------------
  // The socket's own steps, each told before its event runs and before anything is done
  // for it, so that a party that times them is charged nothing of the handlers' work.
  enum TSocketStep : std::uint8_t {
    ssLookedUp,     // the host name gave its address (RemoteAddress), before OnHostResolved
    ssHostAsked,    // the look-up failed and OnInvalidHost is about to be asked
    ssHostGiven,    // OnInvalidHost set Handled: Host (or Proxy) is looked up again
    ssHostRefused,  // OnInvalidHost left Handled clear
    ssConnected,    // the connect notification, before OnConnect
    ssReceived,     // a capture's receive gave Data (the peer's bytes as they came)
    ssClosed,       // the socket is closed, before OnDisconnect
    ssReported,     // a status text passed ReportLevel (Data), before OnStatus
    ssTlsStarted,   // StartTls begins the handshake for the name asked (Data)
    ssTlsEnded,     // the handshake and the check ended, passed or not (TlsFacts())
    ssTrying,       // a connect attempt starts, to TryAddress()
    ssTryEnded      // an attempt that did not win ended (TryAddress(), TryError())
  };
  // The attempt ssTrying or ssTryEnded tells of: its address with the port, and the socket
  // error that ended it (0: closed unfinished, another one having won or the wait ended).
  const win::SOCKADDR_INET& TryAddress() const { return FTry.Address; }
  int TryError() const { return FTry.Error; }
  // False when the component was destroyed meanwhile: nothing of it may be touched then.
  virtual bool SocketStep(TSocketStep, std::string_view) { return true; }

  // A receive from the connection's transport (MSG_PEEK included): the same returns and
  // errors as recv, 0 for the end of the peer's data.
  int ReceiveData(char* Buffer, int Size, int Flags);

  // The error of the send or receive that just failed. After a reset whose notification
  // has already replaced the socket, that is the reset, not the fresh socket's "not
  // connected". The platform's last error is set to the value returned.
  int TransferError();

  // Calls an event handler through a copy, since the handler may reassign or free it.
  // Returns false when the component was destroyed by the handler.
  template <class Event, class... Args>
  bool Fire(const Event& Handler, Args&&... A) {
    return FireEvent(FAlive, Handler, std::forward<Args>(A)...);
  }
  // The same, ending the running call with EComponentDestroyed when the handler destroyed
  // the component.
  template <class Event, class... Args>
  void FireOrStop(const Event& Handler, Args&&... A) {
    ::FireOrStop(FAlive, Handler, std::forward<Args>(A)...);
  }

  // Write, with the kernel told that more follows at once (MSG_MORE): the text may wait for
  // the next send made without the hint and share its segment, so the peer wakes once. The
  // hint holds for this call only, whatever way it ends; the last send of a message must be
  // made without it, or the kernel may hold the data back.
  void WriteMore(const std::string& Text);
  // ReadLn into Line, whose room is kept for the next line: a reader of many lines allocates
  // once instead of once a line. Line is the empty text where ReadLn returns one.
  void ReadLnInto(std::string& Line);

  TAliveFlag FAlive = std::make_shared<bool>(true);
  int FWaitDepth = 0;
  // Set only while WriteMore runs: SendBuffer sends with MSG_MORE.
  bool FMoreFollows = false;

 private:
  // The component's side of the transfer units, for one call: its wait (Scope), cancel,
  // errors and counters.
  class THost;
  // The handshake's wait and its outcome.
  void DriveHandshake(const TWaitScope& Scope, TTlsTransport& Tls);
  // close_notify, sent without waiting, when a session is open.
  void EndTls();

  // Creates a socket of Family whose handle fits the 16-bit SocketHandle; raises when none can
  // be had.
  std::uint16_t OpenSocket(int Protocol, int Family = AF_INET);
  // The family SocketHandle was made for.
  int SocketFamily() const;
  // Opens and registers the replacement socket after a close.
  void ReopenSocket();
  // Gives SocketHandle the component's options and registers it with NotifyWindow.
  void PrepareSocket();
  // The options and the registration, for any socket of the component.
  void ConfigureSocket(std::uint16_t Socket) const;
  // True when SocketHandle has a local address (bound, listening or connected).
  bool SocketBound() const;
  // Replaces the socket of a connect attempt that a wait gave up on.
  void DropPendingConnect();
  // The destruction steps that need every override in place (Abort is virtual).
  void AbortForDestruction();
  // Sets the system timer for what is left of a time-out started by StartTimeOut.
  void SetPendingTimer();
  // One pass of the wait: blocks, unless it is a reader's (ForData) and the transport holds
  // bytes the socket will not tell of, then dispatches. The waits for a look-up, a connect or
  // room to send block whatever the transport holds.
  void WaitOnce(const TWaitScope& Scope, bool ForData);
  // Connect's steps: the address (a look-up, OnInvalidHost asked once), the connect call,
  // and the outcome of its wait.
  void ResolveForConnect();
  void StartConnect();
  void JudgeConnect();
  // ResolveHost's request and its wait for the reply; false when the platform refused the
  // request (no reply will come).
  bool AwaitLookup(const TWaitScope& Scope);
  // The addresses a name has, without telling: those AddressFamily asks for, the first in
  // RemoteAddress. False when none is left.
  bool SetAddresses(const std::vector<win::SOCKADDR_INET>& Addresses);
  // The addresses set are the look-up's: told, then OnHostResolved.
  void TellAddresses();
  // A connect notification of an attempt of the race, and what its outcome makes of the
  // component (the winner's connection, or the failure that ends the wait).
  void RaceNotified(std::uint16_t Socket, int Error);
  // HandleSocketMessage's part for an event of the component's own socket or a look-up reply.
  void HandleSocketEvent(const TSocketNotice& Notice);
  // The reset of the time-out that every arming makes: "Timer On", TimedOut cleared, the
  // value checked. StartTimeOut then counts; ReadLn's quick path has nothing to count.
  void ResetTimeOut(bool Quiet = false);
  // A status text of a reported level: LastStatus, the derived component, then OnStatus.
  void ReportStatus(std::string_view Text);

  // ReadLn's opening, the same for both of its paths: its status text and the time-out
  // reset. Counted starts the time-out's clock; a line the look-ahead already holds is
  // handed out before anything could fire, and needs none.
  void OpenReadLn(bool Counted);
  // ReadLn when its line is in the look-ahead and nothing can run meanwhile: no status
  // handler will hear of it, no cancel, error or receive is due. The same effects as the
  // full path, through the same calls, without its scopes and clock. False, with nothing
  // changed, when the full path must run.
  bool QuickReadLn(std::string& Line);
  // Receives, and so drops, the bytes ReadLn has handed out from its look-ahead, and forgets
  // the look-ahead. Every other reader of the socket or of IOBuffer calls it first.
  void SettleLookAhead();
  // CaptureString's loop: MaxLength as CaptureString takes it (tested before each receive,
  // blocks kept whole) and Limit as CaptureStringAtMost does.
  void CaptureText(std::string& Text, std::int32_t MaxLength, std::int64_t Limit);

  // The look-up or connect that a wait of this component is (or was last) for: what was
  // asked and what came back. The described flags keep their own values beside it
  // (WaitDone, EventSucceeded and Connected are rewritten by notifications of any kind, and
  // by the time-out); the record tells the outcome where they cannot: which reply is the
  // pending look-up's, and whether the connect notification came even if a close followed
  // in the same pump. Accept has nothing of its own to hold: it goes by the described flags.
  struct TPendingOperation {
    win::HANDLE LookupTask = 0;  // asked: the look-up whose reply is awaited; 0 when none
    // came back: the name's addresses (port 0), in the resolver's order; none when it had none
    std::vector<win::SOCKADDR_INET> Addresses;
    bool ConnectNotified = false;  // came back: a successful connect notification
    bool OtherFamily = false;      // the name is a literal of a family AddressFamily leaves out
  };
  TPendingOperation FPending;
  // The component's side of the connect race.
  class TRaceSide final : public TRaceHost {
   public:
    explicit TRaceSide(TQuaywire& Owner) : Q(Owner) {}
    std::uint16_t OpenAttemptSocket(int Family) override;
    int StartAttempt(std::uint16_t Socket, const win::SOCKADDR_INET& To) override;
    void Won(std::uint16_t Socket, const win::SOCKADDR_INET& To) override;
    void Trying(const win::SOCKADDR_INET& To) override;
    void TryEnded(const win::SOCKADDR_INET& To, int Error) override;

   private:
    void Tell(TSocketStep Step, const win::SOCKADDR_INET& To, int Error);
    TQuaywire& Q;
  };
  TRaceSide FRaceSide{*this};
  TConnectRace FRace{FRaceSide};
  struct {
    win::SOCKADDR_INET Address{};
    int Error = 0;
  } FTry;
  std::vector<win::HANDLE> FAbandonedLookups;  // timed out or canceled, reply still to come
  bool FAbortedForDestruction = false;
  bool FSocketLayerStarted = false;  // this component counted in WinsockUsers and owns a socket
  bool FTransferRunning = false;     // a data transfer is using IOBuffer
  // Set by the send loop when AnswerEndsSend stopped it; cleared by Connect.
  bool FSendCutShort = false;
  // The send loop's question: the send cannot go on (Error), and the peer's answer waits.
  bool PeerAnswered(int Error);
  // The socket has never been connected or asked to connect: closing it would only make
  // another one like it.
  bool FSocketUnused = false;

  TTimeOut FTimeOut;
  // ReadLn's lines and look-ahead in IOBuffer. A capture forgets the peeked bytes but drops
  // the handed-out ones from the transport.
  TLineReader FLines{IOBuffer.data(), IOBufferData};
  std::unique_ptr<char[]> FCaptureBuffer;
};

// A hidden window of class "QuaywireWindowClass" whose word 0 holds Component; 0 on failure.
win::HWND CreateNotifyWindow(TQuaywire* Component);
win::LRESULT SocketWindowProc(win::HWND Window, win::UINT Message, win::WPARAM WParam,
                              win::LPARAM LParam);
