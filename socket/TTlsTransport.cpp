// The TLS transport: the handshake and the check over the owner's wait, plaintext straight from
// the session into the caller's buffer, the peek room, the staged send and close_notify.
#include "socket/TTlsTransport.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/WinSock.h"
#include "socket/ETlsSockError.h"
#include "tls/TTlsContext.h"

namespace {

// The TLS layer's error with its step: a failed check is always the certificate's.
[[noreturn]] void ThrowTls(const ETlsError& Error, TSockStep Step) {
  throw ETlsSockError(Error,
                      Error.Kind() == TTlsErrorKind::tkCheck ? TSockStep::ssCertificate : Step);
}

template <class F>
auto TlsCall(TSockStep Step, F Call) {
  try {
    return Call();
  } catch (const ETlsError& Error) {
    ThrowTls(Error, Step);
  }
}

int Blocked() {
  win::WSASetLastError(win::WSAEWOULDBLOCK);
  return -1;
}

}  // namespace

TTlsTransport::TTlsTransport(TPlainTransport& Below, const TTlsSettings& Settings,
                             const std::string& HostName, int Port)
    : FBelow(&Below) {
  TlsCall(TSockStep::ssHandshake, [&] {
    FSession = std::make_unique<TTlsSession>(TTlsContext::For(Settings), HostName, Port,
                                             static_cast<TTlsWire&>(*this));
  });
}

TTlsTransport::~TTlsTransport() = default;

bool TTlsTransport::Handshake(TTransferHost& Waits) {
  constexpr TSockStep Step = TSockStep::ssHandshake;
  for (;;) {
    const TTlsWant Want = TlsCall(Step, [&] { return FSession->Handshake(); });
    if (Want == TTlsWant::twDone && !Waits.Canceled()) return true;
    if (Want == TTlsWant::twBroken) {
      win::WSASetLastError(FError);
      Waits.RaiseError(Step);
    }
    while (!Waits.Canceled() && !FSession->Outgoing().empty()) {
      if (Flush(0) > 0) break;
      Waits.RaiseError(Step);
      Waits.AwaitRoom();
    }
    if (Waits.Canceled()) return false;
    if (Want != TTlsWant::twRead)
      throw ESockError("TLS handshake failed: the server closed the connection", Step);
    if (!Waits.AwaitData()) return false;
  }
}

void TTlsTransport::Check() {
  TlsCall(TSockStep::ssCertificate, [&] { FSession->Check(); });
}

bool TTlsTransport::Ready() const {
  const TTlsPhase P = FSession->Phase();
  return P == TTlsPhase::tpOpen || P == TTlsPhase::tpClosed || P == TTlsPhase::tpCut;
}

bool TTlsTransport::Cut() const { return FSession->Phase() == TTlsPhase::tpCut; }

const TTlsFacts& TTlsTransport::Facts() const { return FSession->Facts(); }

bool TTlsTransport::Close(bool Connected) {
  // After a failed handshake there is no session to end; a socket already replaced by the
  // peer's close takes nothing more.
  if (!Connected || !FSession->Shutdown()) return false;
  Flush(0);
  // The component's close resets the connection, which throws away what the send queue
  // still holds: the close_notify too. This connection closes gracefully instead; the socket
  // that replaces it lingers as every socket of the component does.
  FBelow->LetQueuedGo();
  return true;
}

// --- Receiving --------------------------------------------------------------------------------

TTlsWire::TPull TTlsTransport::Pull(char* Data, std::size_t Size, std::size_t& Got) {
  const int N = FBelow->Receive(Data, static_cast<int>(std::min<std::size_t>(Size, INT_MAX)), 0);
  if (N > 0) {
    Got = static_cast<std::size_t>(N);
    return TPull::Got;
  }
  if (N == 0) return TPull::Ended;
  // A close whose notification replaced the socket already is an end too; a reset is not.
  const int Error = win::WSAGetLastError();
  if (Error == win::WSAEWOULDBLOCK) return TPull::Blocked;
  if (Error == win::WSAENOTCONN) return TPull::Ended;
  FError = Error;
  return TPull::Broken;
}

int TTlsTransport::Receive(char* Buffer, int Size, int Flags) {
  // After our close_notify the socket is the owner's to read, as before the session began.
  if (FSession->Phase() == TTlsPhase::tpShutdown) return FBelow->Receive(Buffer, Size, Flags);
  if (!Ready())
    throw ESockError("Cannot receive: the TLS session is not established", TSockStep::ssReceive);
  if (Size <= 0) return 0;
  const auto Room = static_cast<std::size_t>(Size);
  if ((Flags & MSG_PEEK) != 0) return Peek(Buffer, Room);
  if (PeekedLeft() == 0) return ReadPlain(Buffer, Room);
  const std::size_t Count = std::min(PeekedLeft(), Room);
  std::memcpy(Buffer, FPeekRoom.get() + FPeekedAt, Count);
  FPeekedAt += Count;
  if (FPeekedAt == FPeekedEnd) FPeekedAt = FPeekedEnd = 0;
  return static_cast<int>(Count);
}

int TTlsTransport::Peek(char* Buffer, std::size_t Room) {
  // A peek shows what can be had now: more plaintext is read in behind the peeked bytes.
  if (PeekedLeft() < Room) {
    const std::size_t Have = PeekedLeft();
    if (FPeekRoomSize < Room) {
      auto Larger = std::make_unique_for_overwrite<char[]>(Room);
      if (Have > 0) std::memcpy(Larger.get(), FPeekRoom.get() + FPeekedAt, Have);
      FPeekRoom = std::move(Larger);
      FPeekRoomSize = Room;
    } else if (FPeekedAt > 0 && Have > 0) {
      std::memmove(FPeekRoom.get(), FPeekRoom.get() + FPeekedAt, Have);
    }
    FPeekedAt = 0;
    FPeekedEnd = Have;
    const int Got = ReadPlain(FPeekRoom.get() + Have, Room - Have);
    if (Got > 0) FPeekedEnd += static_cast<std::size_t>(Got);
    if (Have == 0 && Got <= 0) return Got;
  }
  const std::size_t Count = std::min(PeekedLeft(), Room);
  std::memcpy(Buffer, FPeekRoom.get() + FPeekedAt, Count);
  return static_cast<int>(Count);
}

int TTlsTransport::ReadPlain(char* Into, std::size_t Room) {
  std::size_t Got = 0;
  const TTlsWant Want =
      TlsCall(TSockStep::ssReceive, [&] { return FSession->Read(Into, Room, Got); });
  if (Got > 0) return static_cast<int>(std::min<std::size_t>(Got, INT_MAX));
  switch (Want) {
    case TTlsWant::twClosed:
    case TTlsWant::twCut: return 0;
    case TTlsWant::twBroken: win::WSASetLastError(FError); return -1;
    default: break;
  }
  // Before the wait for more: what reading made the session say (a key update's answer), and
  // the handshake's last flight when nothing was sent since.
  Flush(0);
  return Blocked();
}

bool TTlsTransport::Pending() const { return PeekedLeft() > 0 || FSession->Pending(); }

std::size_t TTlsTransport::Waiting() const {
  return PeekedLeft() + (FSession->Pending() ? 1 : 0) + FBelow->Waiting();
}

// --- Sending ----------------------------------------------------------------------------------

int TTlsTransport::Send(const char* Data, int Count, int Flags) {
  const TTlsPhase P = FSession->Phase();
  if (P == TTlsPhase::tpShutdown)
    throw ESockError("Cannot send: the TLS session is closed", TSockStep::ssSend);
  if (!Ready())
    throw ESockError("Cannot send: the TLS session is not established", TSockStep::ssSend);
  if (Count <= 0) return 0;
  // The bytes are encrypted once; offered again after a wait, they are only passed on.
  if (FStaged == 0) {
    TlsCall(TSockStep::ssSend, [&] { FSession->Write(Data, static_cast<std::size_t>(Count)); });
    FStaged = Count;
  }
  const int Last = Flush(Flags);
  if (!FSession->Outgoing().empty()) return Last == 0 ? 0 : -1;
  // The block counts once all of its records are on the wire.
  const int Sent = FStaged;
  FStaged = 0;
  return Sent;
}

int TTlsTransport::Flush(int Flags) {
  int N = 1;
  for (std::string_view Out = FSession->Outgoing(); !Out.empty(); Out = FSession->Outgoing()) {
    N = FBelow->Send(Out.data(), static_cast<int>(std::min<std::size_t>(Out.size(), INT_MAX)),
                     Flags);
    if (N <= 0) return N;
    FSession->Sent(static_cast<std::size_t>(N));
  }
  return N;
}
