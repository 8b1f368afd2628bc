// Socket calls and readiness-to-notification rules for one socket; see TAsyncSocket.h.
#include "platform/TAsyncSocket.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/TQueue.h"

namespace win::detail {

namespace {

// The size of a sockaddr of the socket's family: what its peers' addresses need.
int FamilyAddressLength(int fd) {
  sockaddr_storage own{};
  socklen_t len = sizeof own;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len) == 0 &&
      own.ss_family == AF_INET6)
    return static_cast<int>(sizeof(sockaddr_in6));
  return static_cast<int>(sizeof(sockaddr_in));
}

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Errors with which the connection attempt itself has ended, as opposed to a bad call.
bool IsConnectOutcome(int err) {
  switch (err) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ECONNRESET:
    case ECONNABORTED: return true;
    default: return false;
  }
}

// Errors after which the connection is gone for good.
bool IsBroken(int err) {
  return err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT || err == ENETRESET ||
         err == EHOSTUNREACH || err == ENETUNREACH;
}

}  // namespace

TAsyncSocket::TAsyncSocket(TQueue& queue, int fd) : FQueue(queue), FFd(fd) {}

TAsyncSocket::~TAsyncSocket() {
  // A fired oneshot (or one never armed) can report nothing again: only a MOD re-arms it,
  // and a MOD names the fd's present file. The close takes it out of epoll with the file.
  if (FInEpoll && FArmedMask != 0) ::epoll_ctl(FQueue.EpollFd(), EPOLL_CTL_DEL, FFd, nullptr);
  ::close(FFd);
}

void TAsyncSocket::Notify(long event, int error) {
  if (!Wants(event) || FWindow == 0) return;
  TPostedMessage msg;
  msg.Window = FWindow;
  msg.Msg = FMsg;
  msg.WParam = static_cast<WPARAM>(FFd);
  msg.LParam = MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(error));
  msg.SocketFd = FFd;
  FQueue.PostMessage(std::move(msg));  // a window destroyed meanwhile takes nothing
}

int TAsyncSocket::Unread() const {
  int n = 0;
  if (::ioctl(FFd, FIONREAD, &n) != 0) return 0;
  return n;
}

int TAsyncSocket::UnreadAfterEof() {
  if (FConn.LeftAfterEof < 0) FConn.LeftAfterEof = Unread();
  return FConn.LeftAfterEof;
}

void TAsyncSocket::TakenAfterEof(int n) {
  // More taken than counted: the count was wrong (a reset, an urgent byte); ask again.
  FConn.LeftAfterEof = FConn.LeftAfterEof >= n ? FConn.LeftAfterEof - n : -1;
}

std::uint32_t TAsyncSocket::WantedMask(int unread) {
  std::uint32_t mask = 0;
  switch (FState) {
    case TSocketState::Connecting:
      if (!FConn.Hanging) mask |= EPOLLOUT;
      break;
    case TSocketState::Listening:
      if (Wants(FD_ACCEPT) && FAcceptEnabled) mask |= EPOLLIN;
      break;
    case TSocketState::Connected:
      // After EOF, EPOLLIN stays raised for good: watch it only while bytes are left.
      if (Wants(FD_READ) && FConn.ReadEnabled &&
          (!FConn.EofSeen || (unread < 0 ? UnreadAfterEof() : unread) > 0))
        mask |= EPOLLIN | EPOLLRDHUP;
      if (FConn.HungUp) break;
      if (Wants(FD_OOB) && FConn.OobEnabled && !FConn.EofSeen) mask |= EPOLLPRI;
      if (Wants(FD_CLOSE) && !FConn.CloseSent && !FConn.EofSeen && FConn.BrokenError == 0)
        mask |= EPOLLRDHUP;
      if ((Wants(FD_WRITE) && FConn.WriteEnabled) || FConn.WriteWake) mask |= EPOLLOUT;
      break;
    case TSocketState::Idle:
    case TSocketState::Failed: break;
  }
  return mask;
}

void TAsyncSocket::Rearm(int unread) {
  FPendingUnread = unread;
  if (FArmPending) return;
  FArmPending = true;
  FQueue.ScheduleArming(FFd);
}

void TAsyncSocket::ApplyArming() {
  if (!FArmPending) return;
  FArmPending = false;
  std::uint32_t mask = WantedMask(FPendingUnread);
  // Armed for the same events already (or fired, and nothing is wanted): nothing to tell
  // the kernel. This is what keeps a recv that changes nothing free of an epoll_ctl.
  if (mask == FArmedMask) return;
  int epoll = FQueue.EpollFd();
  if (mask == 0) {
    // Armed, but nothing is wanted any more: only leaving epoll silences HUP and ERR.
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, FFd, nullptr);
    FInEpoll = false;
    FArmedMask = 0;
    return;
  }
  epoll_event ev{};
  ev.events = mask | EPOLLONESHOT;
  ev.data.u64 = static_cast<std::uint64_t>(FFd);
  if (FInEpoll) {
    if (::epoll_ctl(epoll, EPOLL_CTL_MOD, FFd, &ev) == 0) FArmedMask = mask;
  } else if (::epoll_ctl(epoll, EPOLL_CTL_ADD, FFd, &ev) == 0) {
    FInEpoll = true;
    FArmedMask = mask;
  }
}

void TAsyncSocket::ResetConnection(TSocketState state) {
  FState = state;
  FConn = TConnection{};
}

void TAsyncSocket::ConnectFinished(int err) {
  if (err != 0) {
    FState = TSocketState::Failed;
    Notify(FD_CONNECT, WsaErrorFromErrno(err));
    return;
  }
  FState = TSocketState::Connected;
  Notify(FD_CONNECT, 0);
  // A new connection has room to send: FD_WRITE follows FD_CONNECT, as on the platform.
  if (Wants(FD_WRITE)) {
    Notify(FD_WRITE, 0);
  }
}

void TAsyncSocket::PostGracefulCloseIfDrained(int unread) {
  if (FConn.EofSeen && FConn.BrokenError == 0 && !FConn.CloseSent && Wants(FD_CLOSE) &&
      unread == 0) {
    FConn.CloseSent = true;
    Notify(FD_CLOSE, 0);
  }
}

void TAsyncSocket::PostBrokenClose() {
  if (FConn.BrokenError != 0 && !FConn.CloseSent && Wants(FD_CLOSE)) {
    FConn.CloseSent = true;
    Notify(FD_CLOSE, WsaErrorFromErrno(FConn.BrokenError));
  }
}

void TAsyncSocket::OnReady(std::uint32_t events) {
  FArmedMask = 0;  // the oneshot has fired: still in epoll, silent until armed again
  if (FState == TSocketState::Connecting) {
    if (!OnConnectReady(events)) return;
    // This EPOLLOUT belonged to the connect; whatever else came with it is handled below,
    // so that FD_READ and FD_CLOSE follow FD_CONNECT in the same harvest.
    events &= ~static_cast<std::uint32_t>(EPOLLOUT);
  }
  switch (FState) {
    case TSocketState::Listening: OnListenReady(events); return;
    case TSocketState::Connected: OnConnectedReady(events); return;
    case TSocketState::Idle:
    case TSocketState::Connecting:
    case TSocketState::Failed: Rearm(); return;
  }
}

bool TAsyncSocket::OnConnectReady(std::uint32_t events) {
  // Writable without an error or a hang-up is a connection made: SO_ERROR has nothing to
  // tell. (A reset that follows at once is read by the next event.)
  bool made = (events & EPOLLOUT) != 0 && (events & (EPOLLERR | EPOLLHUP)) == 0;
  int err = made ? 0 : SocketError(FFd);
  if (err == ECONNRESET) {
    // The handshake completed and the peer reset before we looked: the platform reports
    // a connection that was made, then its reset.
    ConnectFinished(0);
    FConn.BrokenError = err;
    PostBrokenClose();
    Rearm();
    return false;
  }
  if (err == 0 && (events & EPOLLOUT) == 0) {
    if ((events & (EPOLLHUP | EPOLLERR)) == 0) {
      Rearm();  // not finished after all
      return false;
    }
    // Hung up without a reason on record: re-arming would only report it again forever.
    err = ECONNREFUSED;
  }
  ConnectFinished(err);
  if (FState == TSocketState::Connected) return true;
  Rearm();
  return false;
}

void TAsyncSocket::OnListenReady(std::uint32_t events) {
  if ((events & EPOLLIN) != 0 && Wants(FD_ACCEPT) && FAcceptEnabled) {
    FAcceptEnabled = false;
    Notify(FD_ACCEPT, 0);
  }
  Rearm();
}

void TAsyncSocket::OnConnectedReady(std::uint32_t events) {
  NoteConnectionEnd(events);
  if ((events & EPOLLPRI) != 0 && Wants(FD_OOB) && FConn.OobEnabled) {
    FConn.OobEnabled = false;
    Notify(FD_OOB, 0);
  }
  // Only near an end (EOF, hang-up, error) does the count of waiting bytes matter.
  const bool plain = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0 && !FConn.EofSeen &&
                     FConn.BrokenError == 0;
  int unread = OnReadReady(events, plain);
  OnWriteReady(events);
  Rearm(plain ? -1 : unread);
}

void TAsyncSocket::NoteConnectionEnd(std::uint32_t events) {
  if ((events & EPOLLERR) != 0) {
    // SO_ERROR reads (and clears) the error once; keep it for the recv that comes later.
    int err = SocketError(FFd);
    if (err != 0 && FConn.BrokenError == 0) FConn.BrokenError = err;
  }
  if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) FConn.EofSeen = true;
  if ((events & EPOLLHUP) != 0) FConn.HungUp = true;
}

int TAsyncSocket::OnReadReady(std::uint32_t events, bool plain) {
  // Before an end, a plain EPOLLIN on a stream socket means bytes are waiting (an urgent
  // byte alone does not raise it), and without EPOLLIN there is nothing to post FD_READ
  // for: a byte that came since raises EPOLLIN again as soon as the fd is re-armed.
  int unread = plain ? ((events & EPOLLIN) != 0 ? 1 : 0) : Unread();
  if (!plain && FConn.EofSeen && FConn.BrokenError == 0) FConn.LeftAfterEof = unread;
  if ((events & EPOLLIN) != 0 && unread == 0 && !FConn.EofSeen && FConn.BrokenError == 0) {
    // Readable with nothing to read: either EOF without EPOLLRDHUP or an error; ask recv.
    char probe;
    ssize_t n = ::recv(FFd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      FConn.EofSeen = true;
    } else if (n < 0 && IsBroken(errno)) {
      FConn.BrokenError = errno;
    }
  }
  if (unread > 0 && Wants(FD_READ) && FConn.ReadEnabled) {
    FConn.ReadEnabled = false;
    Notify(FD_READ, 0);
  }
  if (FConn.BrokenError != 0) {
    PostBrokenClose();
  } else {
    PostGracefulCloseIfDrained(unread);
  }
  return unread;
}

void TAsyncSocket::OnWriteReady(std::uint32_t events) {
  if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) FConn.WriteWake = false;
  if ((events & EPOLLOUT) != 0 && Wants(FD_WRITE) && FConn.WriteEnabled) {
    FConn.WriteEnabled = false;
    Notify(FD_WRITE, 0);
  }
}

int TAsyncSocket::Select(HWND hwnd, UINT msg, long events) {
  if (events != 0 && !FQueue.IsWindow(hwnd)) return Fail(WSAEINVAL);
  FNonBlocking = true;  // the fd itself is non-blocking from the start
  FWindow = hwnd;
  FMsg = msg;
  FEvents = events;
  // Conditions that already hold are reported afresh under the new registration; FD_CONNECT
  // and FD_CLOSE keep their once-per-connection state.
  FConn.ReadEnabled = true;
  FConn.OobEnabled = true;
  FAcceptEnabled = true;
  FConn.WriteEnabled = FState == TSocketState::Connected;
  Rearm();
  return 0;
}

int TAsyncSocket::Connect(const sockaddr* name, int namelen) {
  switch (FState) {
    case TSocketState::Listening: return Fail(WSAEINVAL);
    case TSocketState::Connecting: return Fail(WSAEALREADY);
    case TSocketState::Connected: return Fail(WSAEISCONN);
    case TSocketState::Idle:
    case TSocketState::Failed: break;
  }
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  if (int error = InjectedError(SocketCall::Connect)) return Fail(error);

  if (ConnectVerdictFor(name, namelen) == ConnectVerdict::Hang) {
    // As with a black-holed address: pending for ever, until closesocket.
    ResetConnection(TSocketState::Connecting);
    FConn.Hanging = true;
    Rearm();
    return Fail(WSAEWOULDBLOCK);
  }

  int err = StartConnect(name, namelen);
  if (FNonBlocking) return ConnectPending(err);
  if (err == 0) {
    ResetConnection(TSocketState::Connected);
    Rearm();
    return 0;
  }
  if (IsConnectOutcome(err)) ResetConnection(TSocketState::Failed);
  return Fail(WsaErrorFromErrno(err));
}

int TAsyncSocket::StartConnect(const sockaddr* name, int namelen) {
  if (FState == TSocketState::Failed) {
    // Linux remembers the failed attempt: the next connect would only report it, once, as
    // ECONNABORTED. The platform lets the application simply connect again, so dissolve
    // the old attempt first.
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    ::connect(FFd, &none, sizeof none);
    FState = TSocketState::Idle;
  }
  int err = ::connect(FFd, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : errno;
  if (err != EINTR && err != EINPROGRESS) return err;
  // The attempt goes on in the kernel; a blocking caller still waits for its outcome.
  if (FNonBlocking) return EINPROGRESS;
  BlockUntil(POLLOUT);
  return SocketError(FFd);
}

int TAsyncSocket::ConnectPending(int err) {
  // The asynchronous platform always answers "would block" and reports the outcome
  // through FD_CONNECT, even when Linux knew it at once; callers depend on that order.
  if (err == EINPROGRESS || err == EAGAIN) {
    ResetConnection(TSocketState::Connecting);
    Rearm();
    return Fail(WSAEWOULDBLOCK);
  }
  if (err == 0 || IsConnectOutcome(err)) {
    ResetConnection(TSocketState::Connecting);
    ConnectFinished(err);
    Rearm();
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(WsaErrorFromErrno(err));
}

int TAsyncSocket::Listen(int backlog) {
  if (FState == TSocketState::Connected || FState == TSocketState::Connecting)
    return Fail(WSAEISCONN);
  if (::listen(FFd, backlog) != 0) return Fail(WsaErrorFromErrno(errno));
  FState = TSocketState::Listening;
  FAcceptEnabled = true;
  Rearm();
  return 0;
}

void TAsyncSocket::AdoptRegistration(const TAsyncSocket& listener) {
  FNonBlocking = listener.FNonBlocking;
  FWindow = listener.FWindow;
  FMsg = listener.FMsg;
  FEvents = listener.FEvents;
  ResetConnection(TSocketState::Connected);
  FConn.WriteEnabled = true;
  Rearm();
}

SOCKET TAsyncSocket::Accept(sockaddr* addr, int* addrlen) {
  if (FState != TSocketState::Listening) {
    Fail(WSAEINVAL);
    return INVALID_SOCKET;
  }
  if (addr != nullptr && (addrlen == nullptr || *addrlen < FamilyAddressLength(FFd))) {
    // Linux would truncate the peer's address and report success.
    Fail(WSAEFAULT);
    return INVALID_SOCKET;
  }
  FAcceptEnabled = true;  // re-enabled by the call, whatever its outcome
  socklen_t len = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
  int fd;
  do {
    fd = ::accept4(FFd, addr, addr != nullptr ? &len : nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && (errno == EINTR || (WouldBlock(errno, 0) && BlockUntil(POLLIN))));
  if (fd < 0) {
    int err = errno;
    Rearm();
    Fail(WsaErrorFromErrno(err));
    return INVALID_SOCKET;
  }
  if (addr != nullptr) *addrlen = static_cast<int>(len);
  // The new socket inherits the listener's registration, as on the platform.
  FQueue.AdoptSocket(fd).AdoptRegistration(*this);
  Rearm();
  return static_cast<SOCKET>(fd);
}

int TAsyncSocket::Recv(char* buf, int len, int flags) {
  // recv re-enables FD_READ and FD_OOB whether it succeeds, peeks or fails.
  FConn.ReadEnabled = true;
  FConn.OobEnabled = true;
  int result;
  int unread = -1;  // not known
  if (int error = InjectedError(SocketCall::Recv)) {
    result = Fail(error);
  } else if (FState != TSocketState::Connected) {
    // Linux would answer 0 after a failed connect; the platform says "not connected".
    result = Fail(WSAENOTCONN);
  } else if (len < 0 || (buf == nullptr && len > 0)) {
    result = Fail(WSAEFAULT);
  } else {
    ssize_t n;
    do {
      n = ::recv(FFd, buf, static_cast<std::size_t>(len), flags);
    } while (n < 0 && (errno == EINTR || (WouldBlock(errno, flags) &&
                                          BlockUntil((flags & MSG_OOB) != 0 ? POLLPRI : POLLIN))));
    int err = n < 0 ? errno : 0;
    if (n > 0) {
      result = static_cast<int>(n);
      if ((flags & (MSG_PEEK | MSG_OOB)) == MSG_PEEK) {
        unread = result;  // at least: the peeked bytes are all still there
      } else if ((flags & MSG_OOB) != 0) {
        FConn.LeftAfterEof = -1;  // an urgent byte moves the kernel's count its own way
      } else if (FConn.EofSeen) {
        // Only after EOF can this read have drained the last byte before a graceful close.
        TakenAfterEof(result);
        unread = UnreadAfterEof();
        PostGracefulCloseIfDrained(unread);
      }
    } else if (n == 0 && len == 0) {
      result = 0;
    } else if (FConn.BrokenError != 0 && (n == 0 || err == ENOTCONN || IsBroken(err))) {
      // After a reset Linux answers 0 or ENOTCONN once the error has been read elsewhere.
      PostBrokenClose();
      result = Fail(WsaErrorFromErrno(FConn.BrokenError));
    } else if (n == 0) {
      FConn.EofSeen = true;
      unread = 0;
      PostGracefulCloseIfDrained(0);
      result = 0;
    } else if (IsBroken(err)) {
      FConn.BrokenError = err;
      PostBrokenClose();
      result = Fail(WsaErrorFromErrno(err));
    } else {
      result = Fail(WsaErrorFromErrno(err));
    }
  }
  Rearm(unread);
  return result;
}

int TAsyncSocket::Send(const char* buf, int len, int flags) {
  if (int error = InjectedError(SocketCall::Send)) return Fail(error);
  if (FState != TSocketState::Connected) return Fail(WSAENOTCONN);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  ssize_t n = SendInMode(buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    // FD_WRITE now waits for room, as on the platform.
    FConn.WriteEnabled = true;
    Rearm();
    return Fail(WSAEWOULDBLOCK);
  }
  if (FConn.BrokenError == 0 && IsBroken(err)) {
    // The send read the reset (SO_ERROR reads once): keep it, or the recv that comes later
    // would take the connection's end for a graceful close.
    FConn.BrokenError = err;
    PostBrokenClose();
    Rearm();
  }
  if (FConn.BrokenError != 0) return Fail(WsaErrorFromErrno(FConn.BrokenError));
  return Fail(WsaErrorFromErrno(err));
}

bool TAsyncSocket::WouldBlock(int err, int flags) const {
  return !FNonBlocking && (flags & MSG_DONTWAIT) == 0 && (err == EAGAIN || err == EWOULDBLOCK);
}

bool TAsyncSocket::BlockUntil(short events) const {
  pollfd p{FFd, events, 0};
  int n;
  while ((n = ::poll(&p, 1, -1)) < 0 && errno == EINTR) {
  }
  return n > 0;
}

ssize_t TAsyncSocket::SendInMode(const char* buf, std::size_t len, int flags) {
  // A blocking send returns once everything is sent, or with what was sent when it fails.
  std::size_t done = 0;
  for (;;) {
    ssize_t n = ::send(FFd, buf + done, len - done, flags);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      if (done == len || FNonBlocking) return static_cast<ssize_t>(done);
    } else if (errno != EINTR && !(WouldBlock(errno, flags) && BlockUntil(POLLOUT))) {
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
  }
}

int TAsyncSocket::Available(DWORD* count) const {
  if (FState == TSocketState::Listening) return Fail(WSAEINVAL);
  // Before a connection, and after a failed one, there is nothing to read.
  *count = FState == TSocketState::Connected ? static_cast<DWORD>(Unread()) : 0;
  return 0;
}

void TAsyncSocket::RequestWriteWake() {
  if (FState != TSocketState::Connected && FState != TSocketState::Connecting) return;
  FConn.WriteWake = true;
  Rearm();
}

}  // namespace win::detail
