// One socket made through this layer: its WSAAsyncSelect registration, the connection state
// that Linux does not keep for us, and the rules that turn epoll readiness into
// notification messages.
//
// The fd is registered EPOLLONESHOT. After every event and every re-enabling call the
// wanted mask is worked out afresh from the registration and the re-enable flags, and the
// fd is armed again when that mask differs from what it is armed for: an armed oneshot
// reports a condition that holds whenever it holds, so arming it again with the same mask
// adds nothing. A fired oneshot stays in epoll, silent, until it is armed again; an armed
// one that should go quiet leaves epoll, since only a disarmed fd is silent about EPOLLHUP
// and EPOLLERR. So each notification is posted once, and posted again (for the
// level-triggered READ, OOB and ACCEPT) only after its re-enabling call.
//
// The kernel is told only when the queue is about to look at epoll (TQueue::FlushArming,
// before every epoll_wait and every check for pending work, and at the end of a dispatch
// pass when a loop of its own watches the queue's fd): notifications are posted by
// harvests alone, and arming a level-triggered oneshot reports whatever holds at that
// moment, so a condition that arose between a call and the flush is still reported. A peek
// followed by the read that drains the bytes, or a connection that is closed before
// anything waited for it, then costs no epoll_ctl at all.
//
// Once the peer's FIN has arrived no byte can join those waiting, so the count of one
// FIONREAD after it, less what each receive takes, tells when the last byte is read: the
// FD_CLOSE that follows it needs no further FIONREAD.
//
// Readiness is handled by the socket's state (connecting, listening, connected), and on a
// connection by kind: its end, then reading, then writing. What one connection has decided
// is kept together, so a new connection starts afresh in one assignment. Failures injected
// by tests (FaultSeam.h) are asked for before a connect, send or recv does anything.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "platform/WinSock.h"

namespace win::detail {

class TQueue;

enum class TSocketState { Idle, Connecting, Connected, Failed, Listening };

class TAsyncSocket {
 public:
  TAsyncSocket(TQueue& queue, int fd);
  ~TAsyncSocket();  // leaves epoll and closes the fd
  TAsyncSocket(const TAsyncSocket&) = delete;
  TAsyncSocket& operator=(const TAsyncSocket&) = delete;

  int Fd() const { return FFd; }
  TSocketState State() const { return FState; }

  // The WinSock calls; each returns what the call returns, with the last error set.
  int Select(HWND hwnd, UINT msg, long events);
  int Connect(const sockaddr* name, int namelen);
  int Listen(int backlog);
  SOCKET Accept(sockaddr* addr, int* addrlen);
  int Recv(char* buf, int len, int flags);
  int Send(const char* buf, int len, int flags);
  int Available(DWORD* count) const;  // FIONREAD; re-enables nothing
  void RequestWriteWake();

  // Harvest only: turns one epoll event into messages. Runs no user code.
  void OnReady(std::uint32_t events);
  // The queue's flush: tells epoll the wanted mask, when it differs from the armed one.
  void ApplyArming();

 private:
  // Everything one connection decides about itself: which events may be posted again and
  // how far its end has come. A new connection starts from the defaults, in one assignment.
  struct TConnection {
    bool Hanging = false;  // a connect held back by the connect filter

    // Re-enable flags: an event is posted only while its flag is set.
    bool ReadEnabled = true;
    bool OobEnabled = true;
    bool WriteEnabled = false;
    bool WriteWake = false;

    bool EofSeen = false;    // the peer's FIN has arrived
    bool HungUp = false;     // both directions are gone: only unread bytes are left to report
    int BrokenError = 0;     // errno of a reset or abort, kept since SO_ERROR reads only once
    bool CloseSent = false;  // FD_CLOSE is posted at most once per connection
    int LeftAfterEof = -1;   // bytes still unread after the FIN, when a FIONREAD has told
  };

  bool Wants(long event) const { return (FEvents & event) != 0; }
  void Notify(long event, int error);
  // Schedules ApplyArming. `unread`: the bytes waiting, when the caller knows it; -1 lets
  // the flush ask if it must. The latest call's knowledge is the one kept.
  void Rearm(int unread = -1);
  std::uint32_t WantedMask(int unread);
  int Unread() const;  // bytes waiting to be read (FIONREAD)
  int UnreadAfterEof();  // the same once EOF is seen, from the count kept since
  void TakenAfterEof(int n);
  void ResetConnection(TSocketState state);
  void ConnectFinished(int err);
  void PostGracefulCloseIfDrained(int unread);
  void PostBrokenClose();
  void AdoptRegistration(const TAsyncSocket& listener);

  // The fd is always non-blocking; until WSAAsyncSelect the socket blocks as the platform's
  // do, by waiting here for what a call would block on.
  bool WouldBlock(int err, int flags) const;  // a blocking socket's call must wait and retry
  bool BlockUntil(short events) const;
  ssize_t SendInMode(const char* buf, std::size_t len, int flags);

  // Connect's steps: the kernel call, and the answer a non-blocking caller gets.
  int StartConnect(const sockaddr* name, int namelen);
  int ConnectPending(int err);

  // OnReady, by the socket's state. OnConnectReady says whether the connection was made
  // by this event, so that what came with it is handled as on a connected socket.
  bool OnConnectReady(std::uint32_t events);
  void OnListenReady(std::uint32_t events);
  void OnConnectedReady(std::uint32_t events);
  void NoteConnectionEnd(std::uint32_t events);
  int OnReadReady(std::uint32_t events, bool plain);  // returns the bytes known to wait
  void OnWriteReady(std::uint32_t events);

  TQueue& FQueue;
  int FFd;
  TSocketState FState = TSocketState::Idle;
  bool FNonBlocking = false;  // as the caller sees it: WSAAsyncSelect has made it so

  HWND FWindow = 0;
  UINT FMsg = 0;
  long FEvents = 0;

  bool FInEpoll = false;
  std::uint32_t FArmedMask = 0;  // what the oneshot waits for now; 0 once it has fired
  bool FArmPending = false;      // the queue holds this fd for its next flush
  int FPendingUnread = -1;

  bool FAcceptEnabled = true;  // the listener's re-enable flag; it outlives connections
  TConnection FConn;
};

}  // namespace win::detail
