// TQuaywire: construction and destruction, the connection (look-up, connect, close, accept)
// and the one wait every operation uses.
#include "socket/TQuaywire.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TApplication.h"
#include "platform/WinUser.h"

int TQuaywire::WinsockUsers = 0;

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;

std::string TextUpToNul(const char* Text, std::size_t Max) {
  return std::string(Text, strnlen(Text, Max));
}

std::string VersionText(win::WORD Version) {
  return IntToStr(Version >> 8) + "." + IntToStr(Version & 0xFF);
}

// The six lines of the start-up report. A process that creates one component per request
// starts the socket layer each time with the same answer: the lines are made again only
// when the answer differs from the last one.
const std::vector<std::string>& StartupReport(const win::WSADATA& Data) {
  thread_local win::WSADATA Last{};
  thread_local std::vector<std::string> Lines;
  const auto Same = [&Data] {
    return Last.wVersion == Data.wVersion && Last.wHighVersion == Data.wHighVersion &&
           std::memcmp(Last.szDescription, Data.szDescription, sizeof Data.szDescription) == 0 &&
           std::memcmp(Last.szSystemStatus, Data.szSystemStatus, sizeof Data.szSystemStatus) == 0 &&
           Last.iMaxSockets == Data.iMaxSockets && Last.iMaxUdpDg == Data.iMaxUdpDg;
  };
  if (!Lines.empty() && Same()) return Lines;
  Lines = {"Version= " + VersionText(Data.wVersion),
           "High Version= " + VersionText(Data.wHighVersion),
           "Description= " + TextUpToNul(Data.szDescription, sizeof Data.szDescription),
           "System= " + TextUpToNul(Data.szSystemStatus, sizeof Data.szSystemStatus),
           "Max Sockets= " + IntToStr(Data.iMaxSockets),
           "Max Udp pack size= " + IntToStr(Data.iMaxUdpDg)};
  Last = Data;
  return Lines;
}

}  // namespace

// --- Waiting ----------------------------------------------------------------------------

TQuaywire::TWaitScope::TWaitScope(TQuaywire& Owner)
    : FGuard(Owner.FAlive, [&Owner] { --Owner.FWaitDepth; }) {
  ++Owner.FWaitDepth;
}

bool TQuaywire::AwaitEvent(const TWaitScope& Scope) {
  if (Canceled) return false;
  WaitForEvent(Scope);
  return true;
}

void TQuaywire::WaitForEvent(const TWaitScope& Scope) {
  SetPendingTimer();
  Application.WaitForEvent(-1);
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
  LookupBuffer = std::make_unique_for_overwrite<char[]>(win::MAXGETHOSTSTRUCT);
  std::memset(LookupBuffer.get(), 0, win::MAXGETHOSTSTRUCT);
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

std::uint16_t TQuaywire::OpenSocket(int Protocol) {
  const win::SOCKET S = win::socket(AF_INET, SOCK_STREAM, Protocol);
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
  FBrokenError = 0;  // the owner has ended the connection; how it broke concerns no one now
  RequestCloseSocket();
}

void TQuaywire::RequestCloseSocket() {
  StatusMessage(4, "Request Close Socket");
  Connected = false;
  // A component that never started the socket layer (design mode) has nothing to close.
  if (SocketHandle == NoSocket || !FSocketLayerStarted) return;
  FLookAhead.Release();
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
  sockaddr_in Local{};
  int Length = sizeof Local;
  if (win::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Local), &Length) != 0)
    return true;
  return Local.sin_port != 0;
}

void TQuaywire::PrepareSocket() {
  FSocketUnused = true;
  // Lingering on with a time of 0: closing resets the connection at once. Every socket of
  // the component gets it, the replacements after a close as well as the first one.
  const linger Linger{1, 0};
  win::setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Linger),
                  sizeof Linger);
  win::WSAAsyncSelect(SocketHandle, NotifyWindow, WM_SOCKET_EVENT, SocketEventMask);
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

bool TQuaywire::UnreadWaiting() {
  if (TlsHoldsData()) return true;
  win::DWORD Waiting = 0;
  // Lines ReadLn has handed out from its look-ahead are still in the socket, but read (with
  // TLS they are in the session's plaintext, counted above).
  const std::size_t Read = OpenTls() ? 0 : FLookAhead.Used();
  return win::ioctlsocket(SocketHandle, FIONREAD, &Waiting) == 0 && Waiting > Read;
}

void TQuaywire::ResolveHost() {
  const TWaitScope Scope(*this);
  StatusMessage(8, "Resolve Host");
  SettleLookAhead();  // the host name goes through IOBuffer
  const std::string& HostName = ConnectName();
  const std::size_t Length = std::min(HostName.size(), IOBufferData);
  std::memcpy(IOBuffer.data(), HostName.data(), Length);
  IOBuffer[Length] = '\0';
  // An empty name has no address (the platform would take it for the local host's name).
  if (IOBuffer[0] == '\0') {
    RemoteAddress.sin_addr.s_addr = 0;
    return;
  }
  RemoteAddress.sin_addr.s_addr = win::inet_addr(IOBuffer.data());
  if (RemoteAddress.sin_addr.s_addr != win::INADDR_NONE_) return;
  if (FConnectTarget.Address != 0) return TakeAddress(FConnectTarget.Address);

  RemoteAddress.sin_addr.s_addr = 0;
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
  if (!EventSucceeded || FPending.Address == 0) throw ESockError("Host Lookup Failed", LookUp);
  TakeAddress(FPending.Address);
}

void TQuaywire::TakeAddress(std::uint32_t Address) {
  RemoteAddress.sin_addr.s_addr = Address;
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
  FPending.Address = 0;
  FPending.LookupTask = win::WSAAsyncGetHostByName(NotifyWindow, WM_LOOKUP_DONE, IOBuffer.data(),
                                                   LookupBuffer.get(), win::MAXGETHOSTSTRUCT);
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
  FBrokenError = 0;
  FSendCutShort = false;
  FTls.reset();  // a new connection starts in plain text
  if (SocketHandle == NoSocket && FSocketLayerStarted) ReopenSocket();
  ResolveForConnect();
  StartConnect();
  TimerOn();
  TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
  WaitUntil(Scope, true,
            [this] { return Connected || FPending.ConnectNotified || !EventSucceeded; });
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
    if (RemoteAddress.sin_addr.s_addr != 0) return;
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
  RemoteAddress.sin_family = AF_INET;
  const int PortValue = ConnectPort();
  RemoteAddress.sin_port = win::htons(static_cast<std::uint16_t>(PortValue & 0xFFFF));
  WaitDone = false;
  EventSucceeded = true;
  FSocketUnused = false;
  FLookAhead.Release();
  FPending.ConnectNotified = false;
  if (win::connect(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteAddress),
                   sizeof RemoteAddress) == win::SOCKET_ERROR) {
    std::string Msg;
    CheckSocketError(WouldBlock, Msg, TSockStep::ssConnect);
  }
}

void TQuaywire::JudgeConnect() {
  // A successful notification counts even when a close in the same pump has rewritten
  // EventSucceeded since.
  if (WaitEnded(true) == TWaitEnd::Ready && (EventSucceeded || FPending.ConnectNotified)) return;
  // A wait that gave up drops its attempt: a connection completing later must neither make
  // the component connected outside any call nor keep the next Connect from starting.
  if (WaitEnded(true) != TWaitEnd::Ready && !Connected) DropPendingConnect();
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
  sockaddr_in Peer{};
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
  std::memcpy(&RemoteAddress, &Peer, sizeof RemoteAddress);
  if (Canceled) win::closesocket(Data);
  ThrowIfCanceled("Socket send aborted", Step, false);
  return static_cast<std::uint16_t>(Data);
}
