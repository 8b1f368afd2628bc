// TQuaywire: life, the connection (look-up, connect, close, accept, hand-over), the one wait
// every operation uses, the notifications, the time-out, status and errors, and the transfers,
// each delegated to its unit over the connection's transport.
#include "socket/TQuaywire.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TApplication.h"
#include "base/TFileStream.h"
#include "platform/InetText.h"
#include "platform/WinUser.h"
#include "socket/CaptureRoom.h"
#include "socket/SendLoop.h"
#include "socket/TTlsTransport.h"
#include "socket/WinsockReport.h"

int TQuaywire::WinsockUsers = 0;

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;
constexpr std::size_t MaxSendBlock = 65535;  // SendBuffer's length is 16 bits

// A receive's room when Left more bytes are wanted: the rest of the message is not asked for.
std::size_t RoomWithin(std::int64_t Left) {
  return static_cast<std::size_t>(std::min<std::int64_t>(Left, CaptureReceive));
}

// The look-up buffer holds WSAAsyncGetAddrInfo's reply: an address list.
constexpr int LookupRoom = win::MAXGETADDRSTRUCT;

int FamilyAsked(TAddressFamily Family) {
  switch (Family) {
    case afIPv4: return AF_INET;
    case afIPv6: return AF_INET6;
    case afAny: break;
  }
  return AF_UNSPEC;
}

void SetPort(win::SOCKADDR_INET& A, std::uint16_t NetworkPort) {
  if (A.si_family == AF_INET6)
    A.Ipv6.sin6_port = NetworkPort;
  else
    A.Ipv4.sin_port = NetworkPort;
}

std::uint16_t PortOf(const win::SOCKADDR_INET& A) {
  return A.si_family == AF_INET6 ? A.Ipv6.sin6_port : A.Ipv4.sin_port;
}

// A socket's own address of either family, as getsockname gives it; false when it fails.
bool OwnAddress(std::uint16_t Socket, win::SOCKADDR_INET& Address) {
  sockaddr_storage Local{};
  int Length = sizeof Local;
  if (win::getsockname(Socket, reinterpret_cast<sockaddr*>(&Local), &Length) != 0) return false;
  Address = {};
  std::memcpy(&Address, &Local, std::min(sizeof Address, static_cast<std::size_t>(Length)));
  return true;
}

}  // namespace

// --- Waiting ----------------------------------------------------------------------------

TQuaywire::TWaitScope::TWaitScope(TQuaywire& Owner)
    : FGuard(Owner.FAlive, [&Owner] { --Owner.FWaitDepth; }) {
  ++Owner.FWaitDepth;
}

// The component's side of the transfer units for one call.
class TQuaywire::THost final : public TTransferHost {
 public:
  // Scope may be nullptr for a unit that never waits (the look-ahead's settling).
  THost(TQuaywire& Owner, const TWaitScope* Scope) : Q(Owner), S(Scope) {}

  bool Canceled() const override { return Q.Canceled; }
  bool AwaitData() override {
    if (Q.Canceled) return false;
    Q.WaitOnce(*S, true);
    return true;
  }
  void AwaitRoom() override {
    win::RequestWriteWake(Q.SocketHandle);
    if (!Q.Canceled) Q.WaitOnce(*S, false);
  }
  void Pump() override { Q.PumpMessages(*S); }
  int KeepLastError() override { return Q.LastErrorNo = Q.TransferError(); }
  void RaiseError(TSockStep Step) override {
    std::string Msg;
    Q.CheckSocketError(WouldBlock, Msg, Step);
  }
  void StopIfCanceled(const char* Text, TSockStep Step) override { Q.ThrowIfCanceled(Text, Step); }
  bool CutShort() const override { return Q.FSendCutShort; }
  bool Answered(int Error) override { return Q.PeerAnswered(Error); }
  void Told(const char* Data, std::size_t Count) override {
    if (!Q.SocketStep(ssReceived, {Data, Count})) throw EComponentDestroyed();
  }
  void Counted(std::size_t Count, bool Tell) override {
    Q.BytesRecvd += static_cast<std::int64_t>(Count);
    if (!Tell) return;
    Q.FireOrStop(Q.OnPacketRecvd, &Q);
    Q.StartTimeOut();  // a running countdown goes on: the time-out counts from the start
  }
  bool ResetEnds() override { return Q.ReplyComplete(); }

 private:
  TQuaywire& Q;
  const TWaitScope* S;
};

bool TQuaywire::AwaitEvent(const TWaitScope& Scope) {
  if (Canceled) return false;
  WaitForEvent(Scope);
  return true;
}

void TQuaywire::WaitForEvent(const TWaitScope& Scope) { WaitOnce(Scope, false); }

void TQuaywire::WaitOnce(const TWaitScope& Scope, bool ForData) {
  SetPendingTimer();
  // Bytes the transport holds will not be told by the socket: dispatch, but do not block.
  Application.WaitForEvent(ForData && FConnection.Transport().Pending() ? 0 : -1);
  Application.ProcessMessages();
  if (!Scope.OwnerAlive()) throw EComponentDestroyed();
}

void TQuaywire::PumpMessages(const TWaitScope& Scope) {
  SetPendingTimer();
  Application.ProcessMessages();
  if (!Scope.OwnerAlive()) throw EComponentDestroyed();
}

void TQuaywire::ThrowIfCanceled(const char* Text, TSockStep Step, bool TimeOutCounts) {
  if (!Canceled) return;
  Canceled = false;
  throw EAbortError(Text, Step,
                    TimeOutCounts && TimedOut ? TSockCause::scTimedOut : TSockCause::scCanceled);
}

// --- Life -------------------------------------------------------------------------------

TQuaywire::TQuaywire(TComponent* AOwner) : TComponent(AOwner) {
  StatusMessage(8, "Create");
  NotifyWindow = CreateNotifyWindow(this);
  if (NotifyWindow == 0) throw ESockError("Initializaton of windows sockets failed");
  Proxy.clear();
  // The transfer area is not cleared (64 KiB per component): its bytes are those the last
  // transfer put there. It starts as an empty text, and the byte past the data stays a NUL.
  IOBuffer[0] = '\0';
  IOBuffer[IOBufferData] = '\0';
  LookupBuffer = std::make_unique_for_overwrite<char[]>(LookupRoom);
  std::memset(LookupBuffer.get(), 0, LookupRoom);
  Timer = new TThreadTimer(this);
  Timer->SetEnabled(false);
  Timer->SetOnTimer([this](TObject* Sender) { TimerTriggered(Sender); });
  TimeOut = 0;
  ReportLevel = 1;
  Canceled = false;
  BeingDestroyed = false;
  Connected = false;
  try {
    InitWinsock();
  } catch (...) {
    // The destructor will not run: release what this constructor made.
    win::DestroyWindow(NotifyWindow);
    throw;
  }
}

void TQuaywire::AbortForDestruction() {
  if (FAbortedForDestruction) return;
  FAbortedForDestruction = true;
  StatusMessage(8, "Destroy");
  Abort();
  Cancel();
}

void TQuaywire::BeforeDestruction() {
  TComponent::BeforeDestruction();
  try {
    AbortForDestruction();
  } catch (...) {
  }
}

TQuaywire::~TQuaywire() {
  Destroying();
  try {
    AbortForDestruction();  // reached here only by a plain delete
  } catch (...) {
  }
  if (Timer != nullptr) {
    Timer->Free();
    Timer = nullptr;
  }
  LookupBuffer.reset();
  if (NotifyWindow != 0) win::DestroyWindow(NotifyWindow);
  NotifyWindow = 0;
  BeingDestroyed = true;
  if (FSocketLayerStarted) {
    try {
      RequestCloseSocket();
    } catch (...) {
    }
    if (--WinsockUsers == 0) win::WSACleanup();
  }
  // Any wait still on the stack must stop touching this object.
  *FAlive = false;
}

std::uint16_t TQuaywire::OpenSocket(int Protocol, int Family) {
  const win::SOCKET S = win::socket(Family, SOCK_STREAM, Protocol);
  if (S == win::INVALID_SOCKET || S >= NoSocket) {
    if (S != win::INVALID_SOCKET) {
      win::closesocket(S);
      win::WSASetLastError(win::WSAEMFILE);  // no handle fits the 16-bit field
    }
    std::string Msg;
    CheckSocketError(WouldBlock, Msg);
    throw ESockError("Cannot create a socket");
  }
  return static_cast<std::uint16_t>(S);
}

void TQuaywire::InitWinsock() {
  StatusMessage(8, "Initializing Winsock");
  if (Designing()) return;
  try {
    if (++WinsockUsers == 1) {
      win::WSAStartup(0x0101, &WinsockData);
      for (const std::string& Line : StartupReport(WinsockData)) WinsockInfo.Add(Line);
    }
    try {
      FSocketLayerStarted = true;
      SocketHandle = OpenSocket(IPPROTO_TCP);
      PrepareSocket();
    } catch (...) {
      FSocketLayerStarted = false;
      if (--WinsockUsers == 0) win::WSACleanup();
      throw;
    }
  } catch (...) {
    throw ESockError("Initializaton of windows sockets failed");
  }
}

// --- Connection -----------------------------------------------------------------------------

void TQuaywire::Cancel() {
  StatusMessage(8, "Canceling");
  Canceled = true;
}

void TQuaywire::Abort() {
  StatusMessage(8, "Abort");
  Cancel();
}

void TQuaywire::Disconnect() {
  StatusMessage(8, "Disconnecting");
  EndTls();
  FConnection.Plain.BrokenError = 0;  // the owner has ended the connection; how it broke concerns no one now
  RequestCloseSocket();
}

void TQuaywire::RequestCloseSocket() {
  StatusMessage(4, "Request Close Socket");
  Connected = false;
  // A component that never started the socket layer (design mode) has nothing to close.
  if (SocketHandle == NoSocket || !FSocketLayerStarted) return;
  FLines.LookAhead().Release();
  // A socket that was never used (the replacement opened when the server closed, before
  // the owner's Disconnect) is already what a close and reopen would give: keep it.
  const bool KeepUnused = FSocketUnused && !BeingDestroyed && !SocketBound();
  if (!KeepUnused) {
    if (win::closesocket(SocketHandle) == win::SOCKET_ERROR) {
      std::string Msg;
      CheckSocketError(WouldBlock, Msg);
      return;
    }
    SocketHandle = NoSocket;
  }
  std::exception_ptr HandlerError;
  if (!IsDestroying()) {
    try {
      if (!SocketStep(ssClosed, {}) || !Fire(OnDisconnect, this)) return;
    } catch (...) {
      // Reopen first: a failing handler must not leave the component without a socket.
      HandlerError = std::current_exception();
    }
  }
  // A handler that connected again has opened (and connected) a socket of its own.
  if (!BeingDestroyed && SocketHandle == NoSocket) ReopenSocket();
  if (HandlerError) std::rethrow_exception(HandlerError);
}

void TQuaywire::ReopenSocket() {
  SocketHandle = OpenSocket(0);
  PrepareSocket();
}

bool TQuaywire::SocketBound() const {
  // A derived component may have bound the socket and made it listen.
  win::SOCKADDR_INET Local{};
  if (!OwnAddress(SocketHandle, Local)) return true;
  return PortOf(Local) != 0;
}

int TQuaywire::SocketFamily() const {
  win::SOCKADDR_INET Local{};
  return OwnAddress(SocketHandle, Local) ? Local.si_family : AF_UNSPEC;
}

win::SOCKADDR_INET TQuaywire::LocalAddress() const { return FConnection.LocalAddress; }

void TQuaywire::PrepareSocket() {
  FSocketUnused = true;
  ConfigureSocket(SocketHandle);
}

void TQuaywire::ConfigureSocket(std::uint16_t Socket) const {
  // Lingering on with a time of 0: closing resets the connection at once. Every socket of
  // the component gets it, the replacements after a close and the race's attempts as well
  // as the first one.
  const linger Linger{1, 0};
  win::setsockopt(Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Linger),
                  sizeof Linger);
  win::WSAAsyncSelect(Socket, NotifyWindow, WM_SOCKET_EVENT, SocketEventMask);
}

void TQuaywire::DropPendingConnect() {
  // Closed without a report or an event: no connection was ever made on it, and its
  // queued notifications go with it.
  if (SocketHandle == NoSocket) return;
  win::closesocket(SocketHandle);
  SocketHandle = NoSocket;
  try {
    ReopenSocket();
  } catch (const ESockError&) {
    // No socket to be had now; the next Connect tries again.
  }
}

bool TQuaywire::DataAvailable() {
  StatusMessage(8, "Data Available");
  // A status query, not a peek: a peek re-enables the read notification while data waits,
  // so a handler of OnDataAvailable that asks here would get another one at every pump.
  return UnreadWaiting();
}

bool TQuaywire::UnreadWaiting() const {
  // Lines ReadLn has handed out from its look-ahead are still in the transport, but read.
  return FConnection.Transport().Waiting() > FLines.LookAhead().Used();
}

void TQuaywire::ResolveHost() {
  const TWaitScope Scope(*this);
  StatusMessage(8, "Resolve Host");
  SettleLookAhead();  // the host name goes through IOBuffer
  const std::string& HostName = ConnectName();
  const std::size_t Length = std::min(HostName.size(), IOBufferData);
  std::memcpy(IOBuffer.data(), HostName.data(), Length);
  IOBuffer[Length] = '\0';
  FPending.Addresses.clear();
  FPending.OtherFamily = false;
  RemoteAddress = {};
  // An empty name has no address (the platform would take it for the local host's name).
  if (IOBuffer[0] == '\0') return;
  // A literal is its own address, without a look-up or its events.
  win::SOCKADDR_INET Literal{};
  const std::uint32_t Dotted = win::inet_addr(IOBuffer.data());
  if (Dotted != win::INADDR_NONE_) {
    Literal.Ipv4.sin_family = AF_INET;
    Literal.Ipv4.sin_addr.s_addr = Dotted;
    FPending.OtherFamily = !SetAddresses({Literal});
    return;
  }
  if (win::ParseInet6(IOBuffer.data(), Literal.Ipv6.sin6_addr)) {
    Literal.Ipv6.sin6_family = AF_INET6;
    FPending.OtherFamily = !SetAddresses({Literal});
    return;
  }
  if (SetAddresses(FConnectTarget.Addresses)) return TellAddresses();

  TimerOn();
  TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
  const bool Asked = AwaitLookup(Scope);
  Disarm.RunNow();
  constexpr TSockStep LookUp = TSockStep::ssLookUp;
  if (!Asked) throw ESockError("Host Lookup Failed", LookUp);
  switch (WaitEnded(true)) {
    case TWaitEnd::TimedOut:
      throw EHostLookupEnded("Host Lookup Timed Out", LookUp, TSockCause::scTimedOut);
    case TWaitEnd::Canceled:
      throw EHostLookupEnded("Host Lookup Canceled", LookUp, TSockCause::scCanceled);
    case TWaitEnd::Ready: break;
  }
  if (!EventSucceeded || !SetAddresses(std::vector(FPending.Addresses)))
    throw ESockError("Host Lookup Failed", LookUp);
  TellAddresses();
}

bool TQuaywire::SetAddresses(const std::vector<win::SOCKADDR_INET>& Addresses) {
  const int Wanted = FamilyAsked(AddressFamily);
  std::vector<win::SOCKADDR_INET> Kept;
  for (const win::SOCKADDR_INET& A : Addresses)
    if (Wanted == AF_UNSPEC || A.si_family == Wanted) Kept.push_back(A);
  FPending.Addresses = TConnectRace::Ordered(Kept);
  RemoteAddress = FPending.Addresses.empty() ? win::SOCKADDR_INET{} : FPending.Addresses.front();
  return !FPending.Addresses.empty();
}

void TQuaywire::TellAddresses() {
  if (!SocketStep(ssLookedUp, {})) throw EComponentDestroyed();
  FireOrStop(OnHostResolved, this);
}

const std::string& TQuaywire::ConnectName() const {
  if (!FConnectTarget.Name.empty()) return FConnectTarget.Name;
  return Proxy.empty() ? Host : Proxy;
}

int TQuaywire::ConnectPort() const {
  if (FConnectTarget.Port != 0) return FConnectTarget.Port;
  return Proxy.empty() ? Port : ProxyPort;
}

bool TQuaywire::AwaitLookup(const TWaitScope& Scope) {
  WaitDone = false;
  FPending.Addresses.clear();
  FPending.LookupTask =
      win::WSAAsyncGetAddrInfo(NotifyWindow, WM_LOOKUP_DONE, IOBuffer.data(),
                               FamilyAsked(AddressFamily), LookupBuffer.get(), LookupRoom);
  if (FPending.LookupTask == 0) return false;
  // However the wait ends, a look-up without its reply is abandoned: that reply, when it
  // comes, must not be taken for a later look-up's.
  const TAliveGuard Abandon(FAlive, [this] {
    if (FPending.LookupTask == 0) return;
    FAbandonedLookups.push_back(FPending.LookupTask);
    FPending.LookupTask = 0;
  });
  WaitUntil(Scope, true, [this] { return WaitDone; });
  return true;
}

void TQuaywire::Connect() {
  if (FWaitDepth > 0)
    throw ESockError("Cannot connect: this component is still waiting in another call",
                     TSockStep::ssConnect);
  const TWaitScope Scope(*this);
  StatusMessage(8, "Connecting");
  Canceled = false;
  if (Connected) throw ESockError("Already connected", TSockStep::ssConnect);
  FConnection.Plain.BrokenError = 0;
  FSendCutShort = false;
  FConnection.DropTls();  // a new connection starts in plain text
  if (SocketHandle == NoSocket && FSocketLayerStarted) ReopenSocket();
  ResolveForConnect();
  if (FPending.OtherFamily) {
    // An address of the family not asked for is there, but no connection may go to it.
    FireOrStop(OnConnectionFailed, this);
    throw ESockError("Connection Failed", TSockStep::ssConnect);
  }
  // However Connect ends, no attempt of its race runs on after it, the component's own
  // socket's included: a connect left pending would make the component connected outside
  // any call.
  const TAliveGuard EndRace(FAlive, [this] {
    const TAliveGuard Drop(FAlive, [this, Pending = FRace.Running()] {
      if (Pending && !Connected) DropPendingConnect();
    });
    FRace.Abandon();
  });
  StartConnect();
  TimerOn();
  TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
  WaitUntil(Scope, true, [this] { return Connected || FPending.ConnectNotified || !FRace.Running(); });
  Disarm.RunNow();
  JudgeConnect();
}

void TQuaywire::ResolveForConnect() {
  for (int Retries = 0;; ++Retries) {
    try {
      ResolveHost();
    } catch (const EHostLookupEnded&) {
      throw;
    } catch (const EAbortError&) {
      throw;
    } catch (const ESockError&) {
      // The look-up failed: OnInvalidHost may name another host.
    }
    if (!FPending.Addresses.empty() || FPending.OtherFamily) return;
    if (Retries > 0 || !OnInvalidHost) throw ESockError("Null Remote Address", TSockStep::ssLookUp);
    bool Handled = false;
    if (!SocketStep(ssHostAsked, {})) throw EComponentDestroyed();
    FireOrStop(OnInvalidHost, Handled);
    if (!SocketStep(Handled ? ssHostGiven : ssHostRefused, {})) throw EComponentDestroyed();
    if (!Handled) throw ESockError("Null Remote Address", TSockStep::ssLookUp);
    // The host the handler names is where the connection goes: the route was for the other.
    FConnectTarget = {};
  }
}

void TQuaywire::StartConnect() {
  std::vector<win::SOCKADDR_INET> Addresses = FPending.Addresses;
  const auto PortValue = win::htons(static_cast<std::uint16_t>(ConnectPort() & 0xFFFF));
  for (win::SOCKADDR_INET& A : Addresses) SetPort(A, PortValue);
  RemoteAddress = Addresses.front();
  FConnection.LocalAddress = {};
  WaitDone = false;
  EventSucceeded = true;
  // A socket this component opened and has not used is OpenSocket's IPv4 one: its family
  // needs no asking (a system call on every connect).
  const int Family = FSocketUnused ? AF_INET : SocketFamily();
  FSocketUnused = false;
  FLines.LookAhead().Release();
  FPending.ConnectNotified = false;
  // The component's socket makes the first attempt of its family; the others have their own.
  std::exception_ptr Held;
  try {
    FRace.Start(std::move(Addresses), SocketHandle, Family);
  } catch (const EComponentDestroyed&) {
    throw;
  } catch (...) {
    Held = std::current_exception();
  }
  if (FRace.State() == TConnectRace::TState::Failed) {
    EventSucceeded = false;
    // No attempt even started: the connect call's own error, as a single address gives it.
    if (FRace.NoneStarted()) {
      win::WSASetLastError(FRace.LastError());
      std::string Msg;
      if (!Held) CheckSocketError(WouldBlock, Msg, TSockStep::ssConnect);
    }
  }
  if (Held) std::rethrow_exception(Held);
}

void TQuaywire::RaceNotified(std::uint16_t Socket, int Error) {
  // An observer's error waits until the outcome is the component's.
  std::exception_ptr Held;
  try {
    FRace.Notified(Socket, Error);
  } catch (const EComponentDestroyed&) {
    throw;
  } catch (...) {
    Held = std::current_exception();
  }
  switch (FRace.State()) {
    case TConnectRace::TState::Won:
      EventSucceeded = true;
      Connected = true;
      FPending.ConnectNotified = true;
      if (SocketStep(ssConnected, {})) Fire(OnConnect, this);
      break;
    case TConnectRace::TState::Failed: EventSucceeded = false; break;
    default: break;
  }
  if (Held) std::rethrow_exception(Held);
}

std::uint16_t TQuaywire::TRaceSide::OpenAttemptSocket(int Family) {
  // Not through OpenSocket: an attempt without a socket is that attempt's failure, told as
  // its end, and no reason for OnError.
  const win::SOCKET S = win::socket(Family, SOCK_STREAM, 0);
  if (S == win::INVALID_SOCKET || S >= NoSocket) {
    if (S != win::INVALID_SOCKET) win::closesocket(S);
    if (S != win::INVALID_SOCKET || win::WSAGetLastError() == 0)
      win::WSASetLastError(win::WSAEMFILE);  // no handle fits the 16-bit field
    return NoSocket;
  }
  Q.ConfigureSocket(static_cast<std::uint16_t>(S));
  return static_cast<std::uint16_t>(S);
}

int TQuaywire::TRaceSide::StartAttempt(std::uint16_t Socket, const win::SOCKADDR_INET& To) {
  if (Socket == Q.SocketHandle) return Q.FConnection.Transport().Connect(To);
  return win::connect(Socket, reinterpret_cast<const sockaddr*>(&To), win::SockaddrLength(To));
}

void TQuaywire::TRaceSide::Won(std::uint16_t Socket, const win::SOCKADDR_INET& To) {
  Q.SocketHandle = Socket;
  Q.RemoteAddress = To;
  // Read now: the peer may close before anyone asks, and a closed socket has no address.
  if (!OwnAddress(Socket, Q.FConnection.LocalAddress)) Q.FConnection.LocalAddress = {};
}

void TQuaywire::TRaceSide::Trying(const win::SOCKADDR_INET& To) { Tell(ssTrying, To, 0); }

void TQuaywire::TRaceSide::TryEnded(const win::SOCKADDR_INET& To, int Error) {
  Tell(ssTryEnded, To, Error);
}

void TQuaywire::TRaceSide::Tell(TSocketStep Step, const win::SOCKADDR_INET& To, int Error) {
  const TAliveFlag Alive = Q.FAlive;
  Q.FTry = {To, Error};
  try {
    if (Q.SocketStep(Step, {})) return;
  } catch (...) {
    // An error of an observer that destroyed the component is that destruction, for the race.
    if (*Alive) throw;
  }
  throw EComponentDestroyed();
}

void TQuaywire::JudgeConnect() {
  // A successful notification counts even when a close in the same pump has rewritten
  // EventSucceeded since.
  if (WaitEnded(true) == TWaitEnd::Ready && (EventSucceeded || FPending.ConnectNotified)) return;
  // A wait that gave up drops its attempt: a connection completing later must neither make
  // the component connected outside any call nor keep the next Connect from starting.
  if (WaitEnded(true) != TWaitEnd::Ready && !Connected) {
    FRace.Abandon();
    DropPendingConnect();
  }
  // The handler may cancel: the text goes by the flags as they are after it.
  FireOrStop(OnConnectionFailed, this);
  constexpr TSockStep Step = TSockStep::ssConnect;
  switch (WaitEnded(true)) {
    case TWaitEnd::TimedOut: throw ESockError("Connection Timed out", Step, TSockCause::scTimedOut);
    case TWaitEnd::Canceled: throw ESockError("Connection Canceled", Step, TSockCause::scCanceled);
    case TWaitEnd::Ready: break;
  }
  throw ESockError("Connection Failed", Step);
}

std::uint16_t TQuaywire::Accept() {
  const TWaitScope Scope(*this);
  StatusMessage(4, "Accepting");
  // Not cleared first: a WaitDone left set by an earlier wait lets Accept go on at once.
  WaitUntil(Scope, false, [this] { return WaitDone; });
  // Accepting makes the data connection: its errors are the connection's.
  constexpr TSockStep Step = TSockStep::ssConnect;
  if (WaitEnded(false) == TWaitEnd::Canceled)
    throw ESockError("Accepting Canceled", Step, TSockCause::scCanceled);
  if (!EventSucceeded) throw ESockError("Error creating Data Connection", Step);
  sockaddr_storage Peer{};
  int PeerLength = sizeof Peer;
  const win::SOCKET Data =
      win::accept(SocketHandle, reinterpret_cast<sockaddr*>(&Peer), &PeerLength);
  if (Data == win::INVALID_SOCKET || Data >= NoSocket) {
    if (Data != win::INVALID_SOCKET) win::closesocket(Data);
    LastErrorNo = win::WSAGetLastError();
    std::string Text;
    LookupErrorMessage(static_cast<std::uint16_t>(LastErrorNo), Text);
    throw ESockError(Text.empty() ? "Accept failed: no data connection could be made"
                                  : "Accept failed: " + Text,
                     Step);
  }
  win::WSAAsyncSelect(Data, NotifyWindow, WM_SOCKET_EVENT, SocketEventMask);
  // The accepted connection's addresses, not those of a connection before it.
  if (!OwnAddress(static_cast<std::uint16_t>(Data), FConnection.LocalAddress))
    FConnection.LocalAddress = {};
  RemoteAddress = {};
  std::memcpy(&RemoteAddress, &Peer, std::min(sizeof RemoteAddress, static_cast<std::size_t>(PeerLength)));
  if (Canceled) win::closesocket(Data);
  ThrowIfCanceled("Socket send aborted", Step, false);
  return static_cast<std::uint16_t>(Data);
}

// --- Status and errors ---------------------------------------------------------------------

void TQuaywire::ReportStatus(std::string_view Text) {
  LastStatus = Text;
  if (IsDestroying()) return;
  bool Alive = true;
  try {
    Alive = SocketStep(ssReported, LastStatus);
    if (Alive && OnStatus) Alive = Fire(OnStatus, this, std::string(LastStatus));
  } catch (...) {
    // A status handler's own error never breaks the operation that reports.
  }
  // A handler that destroyed the component ends whatever reported, before it touches it.
  if (!Alive) throw EComponentDestroyed();
}

void TQuaywire::LookupErrorMessage(std::uint16_t ErrorNo, std::string& Msg) {
  StatusMessage(8, "Looking Up Error Message" + Msg);
  Msg.clear();
  if (ErrorNo == 0) return;
  if (const char* Text = FindSocketErrorText(ErrorNo))
    Msg = IntToStr(ErrorNo) + ":" + Text;
  else
    Msg = "Unknown Error No. " + IntToStr(ErrorNo);
}

void TQuaywire::CheckSocketError(std::uint16_t Tolerated, std::string& Msg, TSockStep Step) {
  LastErrorNo = win::WSAGetLastError();
  if (LastErrorNo != Tolerated && LastErrorNo > 10000) {
    const auto ErrorNo = static_cast<std::uint16_t>(LastErrorNo);
    std::string Text;
    LookupErrorMessage(ErrorNo, Text);
    Fire(OnError, this, ErrorNo, Text);
    throw ESockError(Text, Step);
  }
  Msg.clear();
}

// --- Time-out -----------------------------------------------------------------------------

void TQuaywire::TimerOn() {
  StartTimeOut();
  SetPendingTimer();
}

void TQuaywire::ResetTimeOut(bool Quiet) {
  if (!Quiet) StatusMessage(8, "Timer On");
  TimedOut = false;
  if (TimeOut < 0) throw ERangeError("Range check error");
}

void TQuaywire::StartTimeOut(bool Quiet) {
  ResetTimeOut(Quiet);
  FTimeOut.Start(static_cast<std::uint32_t>(TimeOut), Timer);
}

void TQuaywire::SetPendingTimer() { FTimeOut.SetPending(Timer); }

void TQuaywire::TimerOff(bool Quiet) {
  if (!Quiet) StatusMessage(8, "Timer Off");
  FTimeOut.Stop(Timer);
}

void TQuaywire::TimerTriggered(TObject*) {
  try {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    WaitDone = true;
    Abort();
  } catch (const EComponentDestroyed&) {
    // A handler freed the component: the wait it ended sees that for itself.
  }
}

// --- Notifications ----------------------------------------------------------------------------

void TQuaywire::HandleSocketMessage(TMessage& Msg) {
  using TKind = TSocketNotice::TKind;
  // A connect notification of an attempt of the race is the race's to judge.
  if (Msg.Msg == WM_SOCKET_EVENT && win::LOWORD(Msg.LParam) == win::FD_CONNECT &&
      Msg.WParam < NoSocket && FRace.Holds(static_cast<std::uint16_t>(Msg.WParam))) {
    try {
      RaceNotified(static_cast<std::uint16_t>(Msg.WParam), win::HIWORD(Msg.LParam));
    } catch (...) {
      // Nothing raised while handling a notification may reach the message loop.
    }
    return;
  }
  const TSocketNotice Notice = ReadNotice(Msg, SocketHandle, FAbandonedLookups);
  if (Notice.Kind == TKind::Stale || Notice.Kind == TKind::Other) return;
  if (Notice.Kind == TKind::OtherRead) {
    // Another socket on this window (an accepted data connection): its news may interest a
    // reader, but it never closes, connects or judges the component's own socket.
    try {
      Fire(OnDataAvailable, this);
    } catch (...) {
    }
    return;
  }
  EventSucceeded = Notice.Succeeded;
  try {
    HandleSocketEvent(Notice);
  } catch (...) {
    // Nothing raised while handling a notification may reach the message loop.
  }
}

void TQuaywire::HandleSocketEvent(const TSocketNotice& Notice) {
  using TKind = TSocketNotice::TKind;
  switch (Notice.Kind) {
    case TKind::Read:
      try {
        Fire(OnDataAvailable, this);
      } catch (...) {
      }
      break;
    case TKind::Accept:
      Connected = true;
      Fire(OnAccept, this);
      break;
    case TKind::Connect:
      if (EventSucceeded) {
        Connected = true;
        FPending.ConnectNotified = true;
        if (SocketStep(ssConnected, {})) Fire(OnConnect, this);
      }
      break;
    case TKind::Close:
      // A reset (or an abort) is kept: the socket that replaces this one would only say
      // "not connected", and a reader must not take that for the peer's normal end.
      if (!EventSucceeded) FConnection.Plain.BrokenError = Notice.Error;
      // Unread data stays for the readers; the owner's Disconnect closes later.
      if (!DataAvailable()) RequestCloseSocket();
      break;
    case TKind::LookupDone:
      // The platform has built the host entry in LookupBuffer before this message.
      if (FPending.LookupTask != 0 && Notice.Task == FPending.LookupTask && EventSucceeded)
        FPending.Addresses = ListedAddresses(LookupBuffer.get());
      if (Notice.Task == FPending.LookupTask) FPending.LookupTask = 0;
      WaitDone = true;
      break;
    default: break;
  }
}

// --- Sending and lines ---------------------------------------------------------------------

TQuaywire::TTransferScope::TTransferScope(TQuaywire& Owner)
    : FGuard(
          [&Owner] {
            // Handlers run inside a transfer's waits; one that starts another transfer on
            // the same component would share IOBuffer and the flags with it.
            if (Owner.FTransferRunning)
              throw ESockError(
                  "Cannot start a transfer: another transfer of this component is running");
            Owner.FTransferRunning = true;
            return Owner.FAlive;
          }(),
          [&Owner] { Owner.FTransferRunning = false; }) {}

TQuaywire::TTransferTimeOut::TTransferTimeOut(TQuaywire& Owner, bool Quiet)
    : FGuard(
          [&Owner, Quiet] {
            Owner.StartTimeOut(Quiet);
            return Owner.FAlive;
          }(),
          [&Owner, Quiet] { Owner.TimerOff(Quiet); }) {}

int TQuaywire::TransferError() { return FConnection.Plain.Error(); }

void TQuaywire::SendBuffer(const char* Buffer, std::uint16_t Length) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(4, "Sending Buffer");
  const TTransferTimeOut Armed(*this);
  if (!Canceled) {
    const std::size_t Total = Length != 0 ? Length : strnlen(Buffer, MaxSendBlock);
    SendWhole(
        Scope, Buffer, Total, [](int) {}, FMoreFollows ? MSG_MORE : 0);
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}

void TQuaywire::SendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                          const std::function<void(int)>& Sent, int Flags) {
  THost Units(*this, &Scope);
  SendAll(Units, FConnection.Transport(), Data, Count, Sent, Flags);
}

bool TQuaywire::PeerAnswered(int Error) {
  // Only a send that cannot go on asks: one that goes through costs no extra call. A
  // connection the peer reset still holds what it sent before, for the readers.
  const bool Stuck =
      Error == WouldBlock || Error == win::WSAECONNRESET || Error == win::WSAECONNABORTED;
  const bool Answered = Stuck && UnreadWaiting() && AnswerEndsSend();
  win::WSASetLastError(Error);  // for CheckSocketError, whatever the question cost
  if (!Answered) return false;
  FSendCutShort = true;
  StatusMessage(8, "Send stopped: the peer has answered");
  return true;
}

void TQuaywire::Write(const std::string& Text) {
  StatusMessage(8, "Write");
  // What is sent ends at the first NUL; longer texts go in pieces that fit SendBuffer. The
  // pieces come from a copy of our own, not IOBuffer: SendBuffer lets messages flow while
  // the socket is full, and neither a handler nor the caller's string may change them.
  const std::string Data = Text.substr(0, Text.find('\0'));
  std::size_t Offset = 0;
  do {
    const std::size_t Piece = std::min(Data.size() - Offset, MaxSendBlock);
    SendBuffer(Data.c_str() + Offset, static_cast<std::uint16_t>(Piece));
    Offset += Piece;
  } while (Offset < Data.size());
}

void TQuaywire::WriteMore(const std::string& Text) {
  const TAliveGuard NoHint(FAlive, [this] { FMoreFollows = false; });
  FMoreFollows = true;
  Write(Text);
}

void TQuaywire::Writeln(const std::string& Text) {
  StatusMessage(8, "Writeln");
  Write(Text + "\r\n");
}

std::string TQuaywire::ReadLn() {
  std::string Line;
  ReadLnInto(Line);
  return Line;
}

void TQuaywire::ReadLnInto(std::string& Line) {
  Line.clear();
  if (QuickReadLn(Line)) return;
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  OpenReadLn(true);
  const TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
  THost Units(*this, &Scope);
  if (FLines.FromLookAhead(Units, FConnection.Transport(), Line)) return;
  FLines.FromTransport(Units, FConnection.Transport(), Line);
}

void TQuaywire::OpenReadLn(bool Counted) {
  StatusMessage(8, "ReadLn");
  if (Counted)
    StartTimeOut();
  else
    ResetTimeOut();
}

bool TQuaywire::QuickReadLn(std::string& Line) {
  // A handler could see the scopes or start something; a cancel, a bad time-out or a line
  // that uses the look-ahead up (its bytes are then received) take the full path.
  if (FTransferRunning || Canceled || TimeOut < 0) return false;
  if (ReportLevel >= 8 && OnStatus) return false;
  const std::size_t Length = FLines.NextHeldLine();
  if (Length == 0) return false;
  // What the full path leaves, through the same calls: its status texts, TimedOut cleared
  // and the time-out stopped (a running one too, as TimerOff stops it).
  OpenReadLn(false);
  FLines.LookAhead().HandOut(Length, Line);
  TimerOff();
  return true;
}

void TQuaywire::SettleLookAhead() {
  THost Units(*this, nullptr);
  FLines.Settle(Units, FConnection.Transport());
}

std::string TQuaywire::Transaction(const std::string& Command) {
  StatusMessage(8, "Transaction");
  ReplyNumber = 0;
  Writeln(Command);
  const std::string Reply = ReadLn();
  TransactionReply = Reply;
  if (!Reply.empty()) {
    StatusMessage(1, Reply);
    std::string Digits;
    for (char C : Reply) {
      if (C < '0' || C > '9' || Digits.size() == 10) break;
      Digits += C;
    }
    if (!Digits.empty()) {
      // A number that does not fit the 16-bit field is not a reply code: keep 0.
      const long long Value = std::stoll(Digits);
      ReplyNumber = Value <= INT16_MAX ? static_cast<std::int16_t>(Value) : 0;
    }
  }
  return TransactionReply;
}

void TQuaywire::SendFile(const std::string& FileName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "SendFile");
  {
    SettleLookAhead();  // the blocks go through IOBuffer
    TFileStream File(FileName, TFileMode::fmOpenRead);
    const std::int64_t Size = File.Size();
    while (File.Position() < Size && !Canceled && !FSendCutShort) {
      const std::int64_t Block = File.Read(IOBuffer.data(), IOBufferData);
      if (Block <= 0) break;  // the file shrank under us
      // Each block is bounded by TimeOut, as SendBuffer's own arming bounds its block.
      // Quietly: the timer's status texts are no part of SendFile's.
      const TTransferTimeOut Armed(*this, true);
      SendWhole(Scope, IOBuffer.data(), static_cast<std::size_t>(Block), [&](int Sent) {
        BytesSent += Sent;
        FireOrStop(OnPacketSent, this);
        PumpMessages(Scope);
      });
    }
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}

// --- Captures ------------------------------------------------------------------------------

char* TQuaywire::CaptureBuffer() {
  // Not zeroed: every byte is received before it is read.
  if (!FCaptureBuffer) FCaptureBuffer.reset(new char[CaptureReceive]);
  return FCaptureBuffer.get();
}

void TQuaywire::ReceiveUntilClosed(const TWaitScope& Scope, const TReceiveTarget& Target,
                                   TCallRef<bool()> WantMore) {
  THost Units(*this, &Scope);
  TCaptureLoop(Units, FConnection.Transport(), FLines, {CaptureReceive, IOBufferData, PumpEvery})
      .Run(Target, WantMore);
}

void TQuaywire::CaptureFile(const std::string& FileName) { CaptureFileAtMost(FileName, -1); }

void TQuaywire::CaptureFileAtMost(const std::string& FileName, std::int64_t Limit) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "CaptureFile");
  BytesRecvd = 0;
  const TTransferTimeOut Armed(*this);
  {
    TFileStream File(FileName, TFileMode::fmCreate);
    char* const Buffer = CaptureBuffer();
    std::int64_t Taken = 0;
    ReceiveUntilClosed(Scope,
                       {[&](char*& Target, std::size_t& Size, std::size_t& Wanted) {
                          Target = Buffer;
                          Size = CaptureReceive;
                          Wanted = Limit < 0 ? CaptureReceive : RoomWithin(Limit - Taken);
                        },
                        [&](const char* Data, std::size_t Count) {
                          if (Count == 0) return;
                          File.WriteBuffer(Data, static_cast<std::int64_t>(Count));
                          Taken += static_cast<std::int64_t>(Count);
                        }},
                       [&] { return Limit < 0 || Taken < Limit; });
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssReceive);
}

void TQuaywire::CaptureString(std::string& Text, std::int32_t MaxLength) {
  CaptureText(Text, MaxLength, -1);
}

void TQuaywire::CaptureStringAtMost(std::string& Text, std::int64_t Limit) {
  CaptureText(Text, -1, Limit);
}

void TQuaywire::CaptureText(std::string& Text, std::int32_t MaxLength, std::int64_t Limit) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "Capture String");
  Text.clear();
  BytesRecvd = 0;
  const TTransferTimeOut Armed(*this);
  // Without a length limit, the receives take up to CaptureReceive bytes and the text's room
  // is reserved up front for the size the transfer is expected to have (BytesTotal), within
  // reason: the value may come from a server and be anything.
  const bool Direct = MaxLength == -1;
  const std::int64_t Expected = Limit < 0 ? BytesTotal : std::min(BytesTotal, Limit);
  if (Direct && Expected > 0 && static_cast<std::size_t>(Expected) > Text.capacity()) {
    try {
      Text.reserve(std::min(static_cast<std::size_t>(Expected), MaxReservation));
    } catch (const std::bad_alloc&) {
      // The text grows as the data comes.
    }
  }
  TPrefault Prefault;
  char* const Buffer = Direct ? CaptureBuffer() : IOBuffer.data();
  const std::size_t BufferSize = Direct ? CaptureReceive : IOBufferData;
  const auto Held = [&] { return static_cast<std::int64_t>(Text.size()); };
  // The length is tested before each receive and blocks are kept whole, so the text may
  // end longer than MaxLength; never longer than Limit.
  ReceiveUntilClosed(
      Scope,
      {[&](char*& Target, std::size_t& Size, std::size_t& Wanted) {
         Target = Buffer;
         Size = BufferSize;
         Wanted = Limit < 0 ? BufferSize : std::min(BufferSize, RoomWithin(Limit - Held()));
       },
       [&](const char* Data, std::size_t Count) {
         if (Count == 0) return;
         if (Direct) {
           MakeRoom(Text, Count, CaptureReceive);
           Prefault.Ahead(Text, Text.size() + Count);
         }
         Text.append(Data, Count);
       }},
      [&] { return (MaxLength == -1 || Held() < MaxLength) && (Limit < 0 || Held() < Limit); });
  ThrowIfCanceled("Socket capture aborted", TSockStep::ssReceive);
}

// --- TLS ---------------------------------------------------------------------------------

// A session the peer ended with close_notify is the connection's until the connection closes.
bool TQuaywire::TlsActive() const { return Connected && FConnection.TlsActive(); }

const TTlsFacts* TQuaywire::TlsFacts() const { return FConnection.TlsFacts(); }

bool TQuaywire::TlsCut() const { return FConnection.TlsCut(); }

void TQuaywire::StartTls(const TTlsSettings& Settings, const std::string& HostName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "TLS Handshake");
  constexpr TSockStep Step = TSockStep::ssHandshake;
  if (FConnection.Tls() != nullptr) throw ESockError("TLS is already started on this connection", Step);
  if (!Connected) throw ESockError("Cannot start TLS: not connected", Step);
  // Lines read before (a proxy's reply) leave the socket; what follows them is the peer's TLS.
  SettleLookAhead();
  FConnection.InstallTls(std::make_unique<TTlsTransport>(FConnection.Plain, Settings, HostName, Port));
  // No call can end the connection while this one waits: Connect and the hand-over refuse.
  TTlsTransport& Tls = *FConnection.Tls();
  if (!SocketStep(ssTlsStarted, HostName)) throw EComponentDestroyed();
  const TAliveFlag Alive = FAlive;
  try {
    TimerOn();
    TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
    DriveHandshake(Scope, Tls);
    Disarm.RunNow();
    Tls.Check();
    StatusMessage(8, "TLS Established");
  } catch (...) {
    // The chain and the outcome are known as far as the handshake went: told all the same.
    if (*Alive) SocketStep(ssTlsEnded, {});
    throw;
  }
  if (!SocketStep(ssTlsEnded, {})) throw EComponentDestroyed();
}

void TQuaywire::DriveHandshake(const TWaitScope& Scope, TTlsTransport& Tls) {
  THost Units(*this, &Scope);
  if (Tls.Handshake(Units)) return;
  constexpr TSockStep Step = TSockStep::ssHandshake;
  Canceled = false;
  if (TimedOut) throw EAbortError("TLS Handshake Timed out", Step, TSockCause::scTimedOut);
  throw EAbortError("TLS Handshake Canceled", Step, TSockCause::scCanceled);
}

void TQuaywire::EndTls() {
  if (FConnection.Transport().Close(Connected)) StatusMessage(8, "TLS Close");
}

int TQuaywire::ReceiveData(char* Buffer, int Size, int Flags) {
  return FConnection.Transport().Receive(Buffer, Size, Flags);
}

// --- The connection as an object ----------------------------------------------------------

void TQuaywire::InstallUpper(std::unique_ptr<TUpperTransport> Upper) {
  if (FWaitDepth > 0 || FTransferRunning)
    throw ESockError("Cannot install a transport: this component is still waiting in another call");
  // Lines read before leave the socket: what follows them is the new protocol's.
  SettleLookAhead();
  FConnection.InstallUpper(std::move(Upper));
}

TUpperTransport* TQuaywire::Upper() const { return FConnection.Upper(); }

TTransport& TQuaywire::LowerTransport() { return FConnection.Below(); }

std::unique_ptr<TConnection> TQuaywire::ReleaseConnection(bool Fresh) {
  if (FWaitDepth > 0 || FTransferRunning)
    throw ESockError("Cannot hand the connection on: this component is still waiting in another call");
  // The lines handed out leave the transport: the next owner reads on after them.
  SettleLookAhead();
  auto Released = std::make_unique<TConnection>();
  Released->Take(FConnection);
  Connected = false;
  FSendCutShort = false;
  if (Fresh && FSocketLayerStarted && !BeingDestroyed) ReopenSocket();
  return Released;
}

void TQuaywire::AdoptConnection(std::unique_ptr<TConnection> Connection) {
  if (FWaitDepth > 0 || FTransferRunning)
    throw ESockError("Cannot adopt a connection: this component is still waiting in another call");
  if (Connected) throw ESockError("Already connected", TSockStep::ssConnect);
  if (!Connection || Connection->Plain.Handle == NoSocket || !FSocketLayerStarted)
    throw ESockError("Cannot adopt a connection without a socket");
  SettleLookAhead();
  // The component's own socket was never connected: it goes without a report or an event.
  if (SocketHandle != NoSocket) win::closesocket(SocketHandle);
  FConnection.Take(*Connection);
  win::WSAAsyncSelect(SocketHandle, NotifyWindow, WM_SOCKET_EVENT, SocketEventMask);
  FSocketUnused = false;
  FSendCutShort = false;
  Connected = true;
}
