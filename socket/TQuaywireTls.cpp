// TQuaywire over a TLS session: the handshake and the check driven by the component's wait,
// the plaintext every transfer reads and writes through the session, and close_notify.
//
// The session never touches the socket: what the component receives goes in as ciphertext,
// and what the session has to send goes out through the component's own send loop. The
// plaintext the session has decrypted (or can decrypt without a byte more) is asked for
// before any receive from the socket, and so before any wait: the socket will not tell of
// bytes that have already left it.
#include <algorithm>
#include <climits>
#include <cstring>

#include "socket/ETlsSockError.h"
#include "socket/TQuaywire.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsSession.h"

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;
// Ciphertext taken from the socket at once: a few records of 16 KiB.
constexpr std::size_t CipherRoom = 65536;

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

}  // namespace

struct TQuaywire::TTlsState {
  std::unique_ptr<TTlsSession> Session;
  bool HandshakeDone = false;
  bool Ready = false;               // the check passed (or was waived): the caller's bytes may go
  bool Closed = false;              // Disconnect ended the session
  bool FedEnd = false;              // the connection's end was given to the session
  TTlsWant End = TTlsWant::twDone;  // twClosed or twCut once the peer's data has ended
  // Plaintext taken from the session and not handed out yet (peeked by ReadLn's look-ahead
  // or by the send loop's question): Held from HeldAt on.
  std::string Held;
  std::size_t HeldAt = 0;
  std::unique_ptr<char[]> Cipher = std::make_unique_for_overwrite<char[]>(CipherRoom);

  std::size_t HeldLeft() const { return Held.size() - HeldAt; }
};

std::shared_ptr<TQuaywire::TTlsState> TQuaywire::OpenTls() const {
  return FTls && !FTls->Closed ? FTls : nullptr;
}

bool TQuaywire::TlsActive() const { return FTls && FTls->Ready && !FTls->Closed; }

const TTlsFacts* TQuaywire::TlsFacts() const { return FTls ? &FTls->Session->Facts() : nullptr; }

bool TQuaywire::TlsCut() const { return FTls && FTls->End == TTlsWant::twCut; }

bool TQuaywire::TlsHoldsData() const {
  const std::shared_ptr<TTlsState> Tls = OpenTls();
  // ReadLn's handed-out lines are the first of the held bytes.
  return Tls && (Tls->HeldLeft() > FLookAhead.Used() || Tls->Session->HasPlaintext());
}

// --- The handshake and the check ------------------------------------------------------------

void TQuaywire::StartTls(const TTlsSettings& Settings, const std::string& HostName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "TLS Handshake");
  constexpr TSockStep Step = TSockStep::ssHandshake;
  if (FTls) throw ESockError("TLS is already started on this connection", Step);
  if (!Connected) throw ESockError("Cannot start TLS: not connected", Step);
  // Lines read before (a proxy's reply) leave the socket; what follows them is the peer's TLS.
  SettleLookAhead();
  auto Tls = std::make_shared<TTlsState>();
  TlsCall(Step, [&] {
    Tls->Session = std::make_unique<TTlsSession>(TTlsContext::For(Settings), HostName, Port);
  });
  FTls = Tls;
  if (!SocketStep(ssTlsStarted, HostName)) throw EComponentDestroyed();
  const TAliveFlag Alive = FAlive;
  try {
    TimerOn();
    TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
    DriveHandshake(Scope, *Tls);
    Disarm.RunNow();
    CheckPeer(*Tls);
  } catch (...) {
    // The chain and the outcome are known as far as the handshake went: told all the same.
    if (*Alive) SocketStep(ssTlsEnded, {});
    throw;
  }
  if (!SocketStep(ssTlsEnded, {})) throw EComponentDestroyed();
}

void TQuaywire::DriveHandshake(const TWaitScope& Scope, TTlsState& Tls) {
  constexpr TSockStep Step = TSockStep::ssHandshake;
  for (;;) {
    const TTlsWant Want = TlsCall(Step, [&] { return Tls.Session->Handshake(); });
    if (Want == TTlsWant::twDone && !Canceled) {
      // The last flight (the client's Finished) stays in Outgoing() and leaves with the first
      // request bytes, or before the first read waits (PullPlaintext flushes): sent alone, the
      // small write after it waits for the server's delayed ACK, 40 ms a resumed handshake.
      Tls.HandshakeDone = true;
      return;
    }
    SendCiphertext(Scope, Tls, Step, 0);
    if (Canceled) break;
    if (Want != TTlsWant::twRead || Tls.FedEnd)
      throw ESockError("TLS handshake failed: the server closed the connection", Step);
    const int Got = win::recv(SocketHandle, Tls.Cipher.get(), static_cast<int>(CipherRoom), 0);
    if (Got > 0) {
      TlsCall(Step,
              [&] { Tls.Session->Received(Tls.Cipher.get(), static_cast<std::size_t>(Got)); });
      continue;
    }
    // A close (the socket may have been replaced since) is the session's to judge; a reset
    // is the socket's error.
    if (Got == 0 || TransferError() == win::WSAENOTCONN) {
      Tls.FedEnd = true;
      TlsCall(Step, [&] { Tls.Session->Received(nullptr, 0); });
      continue;
    }
    std::string Msg;
    CheckSocketError(WouldBlock, Msg, Step);
    if (!AwaitEvent(Scope)) break;
  }
  Canceled = false;
  if (TimedOut) throw EAbortError("TLS Handshake Timed out", Step, TSockCause::scTimedOut);
  throw EAbortError("TLS Handshake Canceled", Step, TSockCause::scCanceled);
}

void TQuaywire::CheckPeer(TTlsState& Tls) {
  TlsCall(TSockStep::ssCertificate, [&] { Tls.Session->Check(); });
  Tls.Ready = true;
  StatusMessage(8, "TLS Established");
}

void TQuaywire::EndTls() {
  if (!FTls || FTls->Closed) return;
  const std::shared_ptr<TTlsState> Tls = FTls;
  Tls->Closed = true;
  // After a failed handshake there is no session to end; a socket already replaced by the
  // peer's close takes nothing more.
  if (!Tls->HandshakeDone || !Connected) return;
  StatusMessage(8, "TLS Close");
  try {
    Tls->Session->Shutdown();
    FlushCiphertext(*Tls);
  } catch (const ETlsError&) {
    // The connection closes all the same.
  }
  // The component's close resets the connection, which throws away what the send queue
  // still holds: the close_notify too. This connection closes gracefully instead; the socket
  // that replaces it lingers as every socket of the component does.
  const linger Graceful{0, 0};
  win::setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Graceful),
                  sizeof Graceful);
}

// --- Sending ----------------------------------------------------------------------------------

void TQuaywire::SendCiphertext(const TWaitScope& Scope, TTlsState& Tls, TSockStep Step, int Flags) {
  while (!Canceled && !FSendCutShort) {
    const std::string_view Out = Tls.Session->Outgoing();
    if (Out.empty()) return;
    const int N = win::send(SocketHandle, Out.data(),
                            static_cast<int>(std::min<std::size_t>(Out.size(), INT_MAX)), Flags);
    if (N > 0) {
      Tls.Session->Sent(static_cast<std::size_t>(N));
      continue;
    }
    if (N == 0) return;
    const int Error = TransferError();
    // During the handshake there is no answer to hear: the peer's bytes are the handshake's.
    if (Step == TSockStep::ssSend && PeerAnswered(Error)) return;
    std::string Msg;
    CheckSocketError(WouldBlock, Msg, Step);
    win::RequestWriteWake(SocketHandle);
    AwaitEvent(Scope);
  }
}

void TQuaywire::FlushCiphertext(TTlsState& Tls) {
  for (std::string_view Out = Tls.Session->Outgoing(); !Out.empty();
       Out = Tls.Session->Outgoing()) {
    const int N = win::send(SocketHandle, Out.data(),
                            static_cast<int>(std::min<std::size_t>(Out.size(), INT_MAX)), 0);
    if (N <= 0) return;  // the rest goes with the next send, if any
    Tls.Session->Sent(static_cast<std::size_t>(N));
  }
}

void TQuaywire::TlsSendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                             const std::function<void(int)>& Sent, int Flags) {
  const std::shared_ptr<TTlsState> Tls = FTls;
  if (!Tls->Ready)
    throw ESockError("Cannot send: the TLS session is not established", TSockStep::ssSend);
  if (Tls->Closed) throw ESockError("Cannot send: the TLS session is closed", TSockStep::ssSend);
  if (Canceled || FSendCutShort || Count == 0) return;
  TlsCall(TSockStep::ssSend, [&] { Tls->Session->Write(Data, Count); });
  SendCiphertext(Scope, *Tls, TSockStep::ssSend, Flags);
  // The block counts once all of its records are on the wire.
  if (Tls->Session->Outgoing().empty()) Sent(static_cast<int>(Count));
}

// --- Receiving --------------------------------------------------------------------------------

int TQuaywire::ReceiveData(char* Buffer, int Size, int Flags) {
  if (!FTls || FTls->Closed) return win::recv(SocketHandle, Buffer, Size, Flags);
  const std::shared_ptr<TTlsState> Tls = FTls;
  if (!Tls->Ready)
    throw ESockError("Cannot receive: the TLS session is not established", TSockStep::ssReceive);
  return TlsReceive(*Tls, Buffer, Size, Flags);
}

int TQuaywire::TlsReceive(TTlsState& Tls, char* Buffer, int Size, int Flags) {
  if (Size <= 0) return 0;
  const auto Room = static_cast<std::size_t>(Size);
  if ((Flags & MSG_PEEK) == 0) {
    if (Tls.HeldLeft() == 0) return PullPlaintext(Tls, Buffer, Room);
    const std::size_t Count = std::min(Tls.HeldLeft(), Room);
    std::memcpy(Buffer, Tls.Held.data() + Tls.HeldAt, Count);
    Tls.HeldAt += Count;
    if (Tls.HeldAt == Tls.Held.size()) {
      Tls.Held.clear();
      Tls.HeldAt = 0;
    }
    return static_cast<int>(Count);
  }
  // A peek shows what can be had now: more plaintext is pulled in behind the held bytes.
  if (Tls.HeldLeft() < Room) {
    Tls.Held.erase(0, Tls.HeldAt);
    Tls.HeldAt = 0;
    const std::size_t Have = Tls.Held.size();
    Tls.Held.resize(Room);
    int Got = 0;
    try {
      Got = PullPlaintext(Tls, Tls.Held.data() + Have, Room - Have);
    } catch (...) {
      Tls.Held.resize(Have);  // the room made for the pull holds nothing of the server's
      throw;
    }
    Tls.Held.resize(Have + static_cast<std::size_t>(std::max(Got, 0)));
    if (Have == 0) {
      if (Got > 0) std::memcpy(Buffer, Tls.Held.data(), static_cast<std::size_t>(Got));
      return Got;
    }
  }
  const std::size_t Count = std::min(Tls.HeldLeft(), Room);
  std::memcpy(Buffer, Tls.Held.data() + Tls.HeldAt, Count);
  return static_cast<int>(Count);
}

int TQuaywire::PullPlaintext(TTlsState& Tls, char* Into, std::size_t Room) {
  constexpr TSockStep Step = TSockStep::ssReceive;
  std::size_t Done = 0;
  int Error = 0;
  while (Done < Room && Tls.End == TTlsWant::twDone) {
    std::size_t Got = 0;
    const TTlsWant Want =
        TlsCall(Step, [&] { return Tls.Session->Read(Into + Done, Room - Done, Got); });
    Done += Got;
    if (Want == TTlsWant::twClosed || Want == TTlsWant::twCut) {
      Tls.End = Want;
      break;
    }
    if (Got > 0) continue;
    FlushCiphertext(Tls);  // what reading made the session say (a key update's answer)
    // Plaintext in hand goes to the caller before the socket is asked for more: a close
    // behind a reply whose length told it whole is then never read, and the session stays
    // resumable. Read as a cut, it would spoil a TLS 1.3 ticket for good.
    if (Done > 0) break;
    if (Tls.FedEnd) {
      Tls.End = TTlsWant::twCut;  // it wants more after the end: there is none
      break;
    }
    const int N = win::recv(SocketHandle, Tls.Cipher.get(), static_cast<int>(CipherRoom), 0);
    if (N > 0) {
      TlsCall(Step, [&] { Tls.Session->Received(Tls.Cipher.get(), static_cast<std::size_t>(N)); });
      continue;
    }
    Error = N == 0 ? 0 : TransferError();
    if (N == 0 || Error == win::WSAENOTCONN) {
      Tls.FedEnd = true;
      TlsCall(Step, [&] { Tls.Session->Received(nullptr, 0); });
      continue;
    }
    break;  // nothing more now (WSAEWOULDBLOCK), or the socket's error
  }
  if (Done > 0) return static_cast<int>(Done);
  if (Tls.End != TTlsWant::twDone) return 0;
  win::WSASetLastError(Error);
  return -1;
}
