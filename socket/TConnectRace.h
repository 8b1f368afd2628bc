// TConnectRace: the connect attempts of one Connect to a name with several addresses, raced as
// RFC 8305 ("Happy Eyeballs") races them.
//
// The addresses are tried IPv6 first, the families interleaved, each family in the resolver's
// order. An attempt that has not connected after StaggerMs lets the next one start beside it;
// one that fails lets the next start at once. The first to connect is the connection, and
// every other attempt is closed then. The race knows nothing of time-outs or cancels: the
// component's wait ends it (Abandon), and its time-out covers the whole race.
//
// The first attempt of the component's socket's family runs on that socket (First), every
// other one on a socket of its own that the host opens with the component's options; a socket
// that cannot be had fails its attempt alone, and the race goes on to the next address. The
// race closes the sockets it opened, and First only when another attempt wins; a failed or
// unused First stays the component's, as a failed connect always left it. The host hears of
// each attempt's start and of the end of each that did not win; what it is told may run any
// code, even destroy the component and the race with it: it raises EComponentDestroyed then,
// and the race touches nothing of its own after it. Any other error raised by the host waits
// until the race's own steps are done (the next attempt started, the outcome known) and is
// raised by the call that was told it.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "platform/WinSock.h"

class TThreadTimer;

// What a race needs of its component.
class TRaceHost {
 public:
  // A socket for Family with the component's options and notifications; 65535 (NoSocket),
  // the platform's error set, when none can be had. It tells nobody of a failure: the
  // attempt's end does.
  virtual std::uint16_t OpenAttemptSocket(int Family) = 0;
  // Starts connecting Socket to To without waiting: connect's returns.
  virtual int StartAttempt(std::uint16_t Socket, const win::SOCKADDR_INET& To) = 0;
  // Socket connected to To first: it is the component's connection from now. Told before the
  // losers are; it must not raise.
  virtual void Won(std::uint16_t Socket, const win::SOCKADDR_INET& To) = 0;
  // An attempt starts; an attempt that did not win ended, with the socket error that failed it
  // or 0 when it was closed unfinished.
  virtual void Trying(const win::SOCKADDR_INET& To) = 0;
  virtual void TryEnded(const win::SOCKADDR_INET& To, int Error) = 0;

 protected:
  ~TRaceHost() = default;
};

class TConnectRace {
 public:
  static constexpr std::uint32_t StaggerMs = 250;

  // Addresses in the order they are tried: IPv6 first, the families interleaved.
  static std::vector<win::SOCKADDR_INET> Ordered(const std::vector<win::SOCKADDR_INET>& Addresses);

  explicit TConnectRace(TRaceHost& Host);
  ~TConnectRace();
  TConnectRace(const TConnectRace&) = delete;
  TConnectRace& operator=(const TConnectRace&) = delete;

  // Starts a race over Addresses (ordered, with their port); the first attempt of FirstFamily
  // runs on First. A race still running is abandoned first.
  void Start(std::vector<win::SOCKADDR_INET> Addresses, std::uint16_t First, int FirstFamily);

  enum class TState : std::uint8_t { Idle, Running, Won, Failed };
  TState State() const { return FState; }
  bool Running() const { return FState == TState::Running; }
  // Socket is a running attempt's: its connect notification is the race's.
  bool Holds(std::uint16_t Socket) const;
  // The connect notification of a running attempt's Socket: Error 0 when it connected.
  void Notified(std::uint16_t Socket, int Error);
  // Closes every running attempt but First (told as ended unfinished) and stops.
  void Abandon();

  // Once failed: the error of the last attempt that failed, and whether every attempt failed
  // in its connect call itself, without a notification (no attempt ever ran).
  int LastError() const { return FLastError; }
  bool NoneStarted() const { return FNoneStarted; }

 private:
  struct TAttempt {
    win::SOCKADDR_INET Address{};
    std::uint16_t Socket = 0;
    bool Running = false;
  };

  // Starts the next address unless none is left; on until one runs or none is left.
  void StartNext(std::exception_ptr& Held);
  // Calls the host, keeping in Held (unless it holds one already) any error but the
  // component's destruction, which goes on at once.
  template <class Call>
  static void Tell(std::exception_ptr& Held, Call&& C);
  // Fails the race when nothing runs and nothing is left.
  void FailIfOver();
  void ArmStagger();
  void Elapsed(std::exception_ptr& Held);
  void CloseAttempt(TAttempt& A);

  TRaceHost& FHost;
  std::vector<win::SOCKADDR_INET> FAddresses;
  std::size_t FNext = 0;
  std::vector<TAttempt> FAttempts;
  std::uint16_t FFirst = 0;
  int FFirstFamily = 0;
  bool FFirstTaken = false;  // an attempt runs, or ran, on First
  TState FState = TState::Idle;
  int FLastError = 0;
  bool FNoneStarted = true;
  std::unique_ptr<TThreadTimer> FStagger;  // made for the first race with a second address
};
