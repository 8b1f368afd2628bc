// TQuaywire: construction, connection, host resolution, notifications, status and errors.
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

TQuaywire::TWaitScope::TWaitScope(TQuaywire& Owner) : FOwner(Owner), FAlive(Owner.FAlive) {
  ++FOwner.FWaitDepth;
}

TQuaywire::TWaitScope::~TWaitScope() {
  if (*FAlive) --FOwner.FWaitDepth;
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

namespace {

// Disarms the time-out on a way out that skipped the explicit TimerOff, unless the
// component is gone.
class TTimerDisarm {
 public:
  explicit TTimerDisarm(TQuaywire& Q, std::shared_ptr<bool> Alive)
      : FQ(Q), FAlive(std::move(Alive)) {}
  ~TTimerDisarm() {
    if (!FArmed || !*FAlive) return;
    try {
      FQ.TimerOff();
    } catch (...) {
      // A status handler that frees the component while an error unwinds: nothing left.
    }
  }
  void Off() {
    FArmed = false;
    FQ.TimerOff();
  }

 private:
  TQuaywire& FQ;
  std::shared_ptr<bool> FAlive;
  bool FArmed = true;
};

}  // namespace

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

// --- Status and errors ---------------------------------------------------------------------

void TQuaywire::StatusMessage(std::uint8_t Level, const std::string& Text) {
  if (Level > ReportLevel) return;
  LastStatus = Text;
  if (IsDestroying() || !OnStatus) return;
  bool Alive = true;
  try {
    Alive = Fire(OnStatus, this, std::string(LastStatus));
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

void TQuaywire::CheckSocketError(std::uint16_t Tolerated, std::string& Msg) {
  LastErrorNo = win::WSAGetLastError();
  if (LastErrorNo != Tolerated && LastErrorNo > 10000) {
    const auto ErrorNo = static_cast<std::uint16_t>(LastErrorNo);
    std::string Text;
    LookupErrorMessage(ErrorNo, Text);
    Fire(OnError, this, ErrorNo, Text);
    throw ESockError(Text);
  }
  Msg.clear();
}

// --- Time-out -----------------------------------------------------------------------------

void TQuaywire::TimerOn() {
  StartTimeOut();
  SetPendingTimer();
}

void TQuaywire::StartTimeOut() {
  StatusMessage(8, "Timer On");
  TimedOut = false;
  if (TimeOut < 0) throw ERangeError("Range check error");
  const auto Interval = static_cast<std::uint32_t>(TimeOut);
  // A running countdown goes on unless the time-out has changed meanwhile.
  if (FTimeOutRunning && Interval == FTimeOutInterval) return;
  FTimeOutRunning = true;
  FTimeOutInterval = Interval;
  FTimeOutStart = std::chrono::steady_clock::now();
  // Most operations that arm the time-out find their data waiting and never let messages
  // flow; setting and killing the system timer for each of them (every header line) would
  // cost more than the operation itself.
  if (Timer != nullptr) Timer->SetEnabled(false);
}

void TQuaywire::SetPendingTimer() {
  if (!FTimeOutRunning || FTimeOutInterval == 0 || Timer == nullptr || Timer->Enabled()) return;
  const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - FTimeOutStart)
                           .count();
  // Due already: the smallest interval fires at the next dispatch.
  const std::uint32_t Left =
      Elapsed >= FTimeOutInterval ? 1 : FTimeOutInterval - static_cast<std::uint32_t>(Elapsed);
  Timer->SetInterval(Left);
  Timer->SetEnabled(true);
}

void TQuaywire::TimerOff() {
  StatusMessage(8, "Timer Off");
  FTimeOutRunning = false;
  if (Timer != nullptr) Timer->SetEnabled(false);
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
  FBrokenError = 0;  // the owner has ended the connection; how it broke concerns no one now
  RequestCloseSocket();
}

void TQuaywire::RequestCloseSocket() {
  StatusMessage(4, "Request Close Socket");
  Connected = false;
  // A component that never started the socket layer (design mode) has nothing to close.
  if (SocketHandle == NoSocket || !FSocketLayerStarted) return;
  DropLookAhead();
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
      if (!Fire(OnDisconnect, this)) return;
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

int TQuaywire::TransferError() {
  int Error = win::WSAGetLastError();
  if (Error == win::WSAENOTCONN && FBrokenError != 0) {
    Error = FBrokenError;
    win::WSASetLastError(Error);
  }
  return Error;
}

bool TQuaywire::DataAvailable() {
  StatusMessage(8, "Data Available");
  // A status query, not a peek: a peek re-enables the read notification while data waits,
  // so a handler of OnDataAvailable that asks here would get another one at every pump.
  win::DWORD Waiting = 0;
  // Lines ReadLn has handed out from its look-ahead are still in the socket, but read.
  return win::ioctlsocket(SocketHandle, FIONREAD, &Waiting) == 0 && Waiting > FAheadUsed;
}

void TQuaywire::ResolveHost() {
  const TWaitScope Scope(*this);
  StatusMessage(8, "Resolve Host");
  SettleLookAhead();  // the host name goes through IOBuffer
  const std::string& HostName = Proxy.empty() ? Host : Proxy;
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

  RemoteAddress.sin_addr.s_addr = 0;
  TimerOn();
  TTimerDisarm Disarm(*this, FAlive);
  WaitDone = false;
  FLookupAddress = 0;
  FLookupTask = win::WSAAsyncGetHostByName(NotifyWindow, WM_LOOKUP_DONE, IOBuffer.data(),
                                           LookupBuffer.get(), win::MAXGETHOSTSTRUCT);
  if (FLookupTask == 0) {
    // Refused at once: no reply will ever come.
    Disarm.Off();
    throw ESockError("Host Lookup Failed");
  }
  {
    // However the wait ends, a look-up without its reply is abandoned: that reply, when it
    // comes, must not be taken for a later look-up's.
    const std::shared_ptr<bool> Alive = FAlive;
    struct TAbandon {
      TQuaywire& Q;
      const std::shared_ptr<bool>& Alive;
      ~TAbandon() {
        if (!*Alive || Q.FLookupTask == 0) return;
        Q.FAbandonedLookups.push_back(Q.FLookupTask);
        Q.FLookupTask = 0;
      }
    } Abandon{*this, Alive};
    while (!(WaitDone || TimedOut || Canceled)) WaitForEvent(Scope);
  }
  Disarm.Off();
  if (TimedOut) throw ESockError("Host Lookup Timed Out");
  if (Canceled) throw ESockError("Host Lookup Canceled");
  if (!EventSucceeded || FLookupAddress == 0) throw ESockError("Host Lookup Failed");
  RemoteAddress.sin_addr.s_addr = FLookupAddress;
  if (!Fire(OnHostResolved, this)) throw EComponentDestroyed();
}

void TQuaywire::Connect() {
  if (FWaitDepth > 0)
    throw ESockError("Cannot connect: this component is still waiting in another call");
  const TWaitScope Scope(*this);
  StatusMessage(8, "Connecting");
  Canceled = false;
  if (Connected) throw ESockError("Already connected");
  FBrokenError = 0;
  if (SocketHandle == NoSocket && FSocketLayerStarted) ReopenSocket();

  for (int Retries = 0;; ++Retries) {
    try {
      ResolveHost();
    } catch (const EAbortError&) {
      throw;
    } catch (const ESockError& E) {
      const std::string Msg = E.what();
      if (Msg == "Host Lookup Timed Out" || Msg == "Host Lookup Canceled") throw;
    }
    if (RemoteAddress.sin_addr.s_addr != 0) break;
    if (Retries > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool Handled = false;
    if (!Fire(OnInvalidHost, Handled)) throw EComponentDestroyed();
    if (!Handled) throw ESockError("Null Remote Address");
  }

  RemoteAddress.sin_family = AF_INET;
  const int PortValue = Proxy.empty() ? Port : ProxyPort;
  RemoteAddress.sin_port = win::htons(static_cast<std::uint16_t>(PortValue & 0xFFFF));
  WaitDone = false;
  EventSucceeded = true;
  FSocketUnused = false;
  DropLookAhead();
  FConnectNotified = false;
  if (win::connect(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteAddress),
                   sizeof RemoteAddress) == win::SOCKET_ERROR) {
    std::string Msg;
    CheckSocketError(WouldBlock, Msg);
  }
  TimerOn();
  TTimerDisarm Disarm(*this, FAlive);
  while (!(Connected || FConnectNotified || TimedOut || Canceled || !EventSucceeded))
    WaitForEvent(Scope);
  Disarm.Off();
  if (!TimedOut && !Canceled && (EventSucceeded || FConnectNotified)) return;
  // A wait that gave up drops its attempt: a connection completing later must neither make
  // the component connected outside any call nor keep the next Connect from starting.
  if ((TimedOut || Canceled) && !Connected) DropPendingConnect();
  if (!Fire(OnConnectionFailed, this)) throw EComponentDestroyed();
  if (TimedOut) throw ESockError("Connection Timed out");
  if (Canceled) throw ESockError("Connection Canceled");
  throw ESockError("Connection Failed");
}

// --- Notifications ----------------------------------------------------------------------------

void TQuaywire::HandleSocketMessage(TMessage& Msg) {
  // A look-up abandoned by an earlier wait (timed out or canceled) may still complete; its
  // reply says nothing about the present one.
  if (Msg.Msg == WM_LOOKUP_DONE) {
    const auto Stale = std::find(FAbandonedLookups.begin(), FAbandonedLookups.end(), Msg.WParam);
    if (Stale != FAbandonedLookups.end()) {
      FAbandonedLookups.erase(Stale);
      return;
    }
  }
  if (Msg.Msg == WM_SOCKET_EVENT && Msg.WParam != SocketHandle) {
    // Another socket on this window (an accepted data connection): its news may interest
    // a reader, but it never closes, connects or judges the component's own socket.
    if (win::LOWORD(Msg.LParam) == win::FD_READ) {
      try {
        Fire(OnDataAvailable, this);
      } catch (...) {
      }
    }
    return;
  }
  EventSucceeded = win::HIWORD(Msg.LParam) == 0;
  try {
    if (Msg.Msg == WM_SOCKET_EVENT) {
      switch (win::LOWORD(Msg.LParam)) {
        case win::FD_READ: try { Fire(OnDataAvailable, this);
          } catch (...) {
          }
          break;
        case win::FD_ACCEPT:
          Connected = true;
          Fire(OnAccept, this);
          break;
        case win::FD_CONNECT:
          if (EventSucceeded) {
            Connected = true;
            FConnectNotified = true;
            Fire(OnConnect, this);
          }
          break;
        case win::FD_CLOSE:
          // A reset (or an abort) is kept: the socket that replaces this one would only say
          // "not connected", and a reader must not take that for the peer's normal end.
          if (!EventSucceeded) FBrokenError = win::HIWORD(Msg.LParam);
          // Unread data stays for the readers; the owner's Disconnect closes later.
          if (!DataAvailable()) RequestCloseSocket();
          break;
        default: break;
      }
    } else if (Msg.Msg == WM_LOOKUP_DONE) {
      if (FLookupTask != 0 && Msg.WParam == FLookupTask && EventSucceeded) {
        // The platform has built the host entry in LookupBuffer before this message.
        const auto* Entry = reinterpret_cast<const hostent*>(LookupBuffer.get());
        if (Entry->h_length == 4 && Entry->h_addr_list != nullptr &&
            Entry->h_addr_list[0] != nullptr)
          std::memcpy(&FLookupAddress, Entry->h_addr_list[0], 4);
      }
      if (Msg.WParam == FLookupTask) FLookupTask = 0;
      WaitDone = true;
    }
  } catch (...) {
    // Nothing raised while handling a notification may reach the message loop.
  }
}
