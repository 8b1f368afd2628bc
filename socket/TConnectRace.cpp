// TConnectRace: the staggered connect attempts over a name's addresses.
#include "socket/TConnectRace.h"

#include "socket/SockErrors.h"
#include "socket/TPlainTransport.h"
#include "socket/TThreadTimer.h"

std::vector<win::SOCKADDR_INET> TConnectRace::Ordered(
    const std::vector<win::SOCKADDR_INET>& Addresses) {
  std::vector<win::SOCKADDR_INET> Six, Four, Order;
  for (const win::SOCKADDR_INET& A : Addresses) (A.si_family == AF_INET6 ? Six : Four).push_back(A);
  for (std::size_t I = 0; I < Six.size() || I < Four.size(); ++I) {
    if (I < Six.size()) Order.push_back(Six[I]);
    if (I < Four.size()) Order.push_back(Four[I]);
  }
  return Order;
}

TConnectRace::TConnectRace(TRaceHost& Host) : FHost(Host) {}

TConnectRace::~TConnectRace() {
  // Left running only by an error that unwound the call: the sockets go without a word.
  for (TAttempt& A : FAttempts)
    if (A.Running && A.Socket != FFirst) win::closesocket(A.Socket);
}

template <class Call>
void TConnectRace::Tell(std::exception_ptr& Held, Call&& C) {
  try {
    C();
  } catch (const EComponentDestroyed&) {
    throw;
  } catch (...) {
    if (!Held) Held = std::current_exception();
  }
}

void TConnectRace::Start(std::vector<win::SOCKADDR_INET> Addresses, std::uint16_t First,
                         int FirstFamily) {
  if (Running()) Abandon();
  FAddresses = std::move(Addresses);
  FNext = 0;
  FAttempts.clear();
  FAttempts.reserve(FAddresses.size());
  FFirst = First;
  FFirstFamily = FirstFamily;
  FFirstTaken = false;
  FLastError = 0;
  FNoneStarted = true;
  FState = TState::Running;
  if (FAddresses.size() > 1 && !FStagger) {
    FStagger = std::make_unique<TThreadTimer>(nullptr);
    FStagger->SetEnabled(false);
    FStagger->SetInterval(StaggerMs);
    FStagger->SetOnTimer([this](TObject*) {
      try {
        std::exception_ptr Held;
        Elapsed(Held);
      } catch (...) {
        // As for a notification: nothing raised here may reach the message loop. A host
        // destroyed meanwhile took the race with it.
      }
    });
  }
  std::exception_ptr Held;
  StartNext(Held);
  if (Held) std::rethrow_exception(Held);
}

bool TConnectRace::Holds(std::uint16_t Socket) const {
  if (!Running()) return false;
  for (const TAttempt& A : FAttempts)
    if (A.Running && A.Socket == Socket) return true;
  return false;
}

void TConnectRace::StartNext(std::exception_ptr& Held) {
  while (Running() && FNext < FAddresses.size()) {
    const win::SOCKADDR_INET To = FAddresses[FNext];
    const bool OnFirst = !FFirstTaken && To.si_family == FFirstFamily;
    FFirstTaken = FFirstTaken || OnFirst;
    ++FNext;
    Tell(Held, [&] { FHost.Trying(To); });
    const std::uint16_t Socket = OnFirst ? FFirst : FHost.OpenAttemptSocket(To.si_family);
    int Error = Socket == NoSocket ? win::WSAGetLastError() : 0;
    if (Error == 0 && FHost.StartAttempt(Socket, To) == win::SOCKET_ERROR &&
        win::WSAGetLastError() != win::WSAEWOULDBLOCK)
      Error = win::WSAGetLastError();
    if (Error == 0) {
      FAttempts.push_back({To, Socket, true});
      FNoneStarted = false;
      if (FNext < FAddresses.size()) ArmStagger();
      return;
    }
    FLastError = Error;
    if (!OnFirst && Socket != NoSocket) win::closesocket(Socket);
    Tell(Held, [&] { FHost.TryEnded(To, Error); });
  }
  FailIfOver();
}

void TConnectRace::FailIfOver() {
  if (!Running() || FNext < FAddresses.size()) return;
  for (const TAttempt& A : FAttempts)
    if (A.Running) return;
  FState = TState::Failed;
  if (FStagger) FStagger->SetEnabled(false);
}

void TConnectRace::ArmStagger() {
  // Counted afresh from the attempt that just started.
  FStagger->SetEnabled(false);
  FStagger->SetEnabled(true);
}

void TConnectRace::Elapsed(std::exception_ptr& Held) {
  FStagger->SetEnabled(false);
  StartNext(Held);
}

void TConnectRace::CloseAttempt(TAttempt& A) {
  A.Running = false;
  if (A.Socket != FFirst) win::closesocket(A.Socket);
}

void TConnectRace::Notified(std::uint16_t Socket, int Error) {
  TAttempt* Hit = nullptr;
  for (TAttempt& A : FAttempts)
    if (A.Running && A.Socket == Socket) Hit = &A;
  if (Hit == nullptr || !Running()) return;
  Hit->Running = false;
  const win::SOCKADDR_INET To = Hit->Address;
  std::exception_ptr Held;
  if (Error != 0) {
    FLastError = Error;
    if (Socket != FFirst) win::closesocket(Socket);
    Tell(Held, [&] { FHost.TryEnded(To, Error); });
    StartNext(Held);  // at once, without waiting for the stagger
    if (Held) std::rethrow_exception(Held);
    return;
  }
  FState = TState::Won;
  if (FStagger) FStagger->SetEnabled(false);
  // Every other attempt is closed before anyone hears of it, the component's own socket too
  // when it lost: the winner's socket is the component's from now.
  std::vector<win::SOCKADDR_INET> Losers;
  for (TAttempt& A : FAttempts) {
    if (!A.Running) continue;
    CloseAttempt(A);
    Losers.push_back(A.Address);
  }
  if (Socket != FFirst) win::closesocket(FFirst);
  FHost.Won(Socket, To);
  for (const win::SOCKADDR_INET& Loser : Losers) Tell(Held, [&] { FHost.TryEnded(Loser, 0); });
  if (Held) std::rethrow_exception(Held);
}

void TConnectRace::Abandon() {
  if (!Running()) return;
  FState = TState::Failed;
  if (FStagger) FStagger->SetEnabled(false);
  std::vector<win::SOCKADDR_INET> Ended;
  for (TAttempt& A : FAttempts) {
    if (!A.Running) continue;
    CloseAttempt(A);
    Ended.push_back(A.Address);
  }
  std::exception_ptr Held;
  for (const win::SOCKADDR_INET& To : Ended) Tell(Held, [&] { FHost.TryEnded(To, 0); });
  if (Held) std::rethrow_exception(Held);
}
