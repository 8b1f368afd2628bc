// The WinSock entry points: start-up, socket creation and the calls that forward to the
// calling thread's TAsyncSocket.
#include "platform/WinSock.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/TAsyncSocket.h"
#include "platform/TQueue.h"

namespace win {

namespace {

// Start-ups not yet matched by a clean-up. The calls below do not depend on it: a socket
// works before WSAStartup as well, so no component has to care about ordering.
std::atomic<int> Startups{0};

constexpr WORD Version11 = 0x0101;
constexpr std::uint16_t MaxUdpDatagram = 65467;  // 65535 less the IPv4 and UDP headers

detail::TAsyncSocket* Find(SOCKET s) { return detail::TQueue::Current().FindSocket(s); }

// Every socket is an fd, so the fd limit is the socket limit (the field has 16 bits). Read
// once: every component starts WinSock up, and the figure is only advice to the caller.
std::uint16_t MaxSockets() {
  static const std::uint16_t Limit = [] {
    rlim_t maxSockets = 65535;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
      maxSockets = std::min<rlim_t>(files.rlim_cur, 65535);
    }
    return static_cast<std::uint16_t>(maxSockets);
  }();
  return Limit;
}

void CopyText(char* to, std::size_t size, const char* text) {
  std::strncpy(to, text, size - 1);
  to[size - 1] = 0;
}

// getsockname and getpeername. The address comes through storage of our own, so that a
// buffer too small for it (an IPv6 address and a sockaddr_in) fails with WSAEFAULT, as on
// the platform, instead of taking a truncated address with success.
int CopyAddress(int (*get)(int, sockaddr*, socklen_t*), SOCKET s, sockaddr* name,
                int* namelen) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  if (name == nullptr || namelen == nullptr || *namelen < 0) return detail::Fail(WSAEFAULT);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (get(socket->Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return detail::Fail(detail::WsaErrorFromErrno(errno));
  if (static_cast<int>(len) > *namelen) return detail::Fail(WSAEFAULT);
  std::memcpy(name, &addr, len);
  *namelen = static_cast<int>(len);
  return 0;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
  // Only version 1.1 is offered; a request below 1.1 cannot be served.
  BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
  BYTE minor = static_cast<BYTE>(versionRequested >> 8);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  *data = WSADATA{};
  data->wVersion = Version11;
  data->wHighVersion = Version11;
  CopyText(data->szDescription, sizeof data->szDescription, "Orrery Sockets 1.1 on Linux");
  CopyText(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = MaxSockets();
  data->iMaxUdpDg = MaxUdpDatagram;
  data->lpVendorInfo = nullptr;
  ++Startups;
  return 0;
}

int WSACleanup() {
  int current = Startups.load();
  do {
    if (current <= 0) return detail::Fail(WSANOTINITIALISED);
  } while (!Startups.compare_exchange_weak(current, current - 1));
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  // Non-blocking from the start: a socket blocks only in the platform's emulation until
  // WSAAsyncSelect, which then needs no fcntl of its own.
  if (int error = detail::FamilyError(af)) {
    detail::Fail(error);
    return INVALID_SOCKET;
  }
  int fd = ::socket(af, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (fd < 0) {
    detail::Fail(detail::WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
  detail::TQueue::Current().AdoptSocket(fd);
  return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s) {
  if (!detail::TQueue::Current().CloseSocket(s)) return detail::Fail(WSAENOTSOCK);
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  if (optlen < 0) return detail::Fail(WSAEFAULT);
  if (::setsockopt(socket->Fd(), level, optname, optval, static_cast<socklen_t>(optlen)) != 0) {
    return detail::Fail(detail::WsaErrorFromErrno(errno));
  }
  return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  if (name == nullptr || namelen <= 0) return detail::Fail(WSAEFAULT);
  if (::bind(socket->Fd(), name, static_cast<socklen_t>(namelen)) != 0) {
    return detail::Fail(detail::WsaErrorFromErrno(errno));
  }
  return 0;
}

int listen(SOCKET s, int backlog) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  return socket->Listen(backlog);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  return CopyAddress(::getsockname, s, name, namelen);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  return CopyAddress(::getpeername, s, name, namelen);
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  return socket->Connect(name, namelen);
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) {
    detail::Fail(WSAENOTSOCK);
    return INVALID_SOCKET;
  }
  return socket->Accept(addr, addrlen);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  return socket->Send(buf, len, flags);
}

int recv(SOCKET s, char* buf, int len, int flags) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  return socket->Recv(buf, len, flags);
}

int ioctlsocket(SOCKET s, long cmd, DWORD* argp) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  if (argp == nullptr) return detail::Fail(WSAEFAULT);
  if (cmd != static_cast<long>(FIONREAD)) return detail::Fail(WSAEINVAL);
  return socket->Available(argp);
}

std::uint16_t htons(std::uint16_t v) { return ::htons(v); }
std::uint16_t ntohs(std::uint16_t v) { return ::ntohs(v); }
std::uint32_t htonl(std::uint32_t v) { return ::htonl(v); }
std::uint32_t ntohl(std::uint32_t v) { return ::ntohl(v); }

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  detail::TAsyncSocket* socket = Find(s);
  if (socket == nullptr) return detail::Fail(WSAENOTSOCK);
  return socket->Select(hwnd, msg, events);
}

void RequestWriteWake(SOCKET s) {
  if (detail::TAsyncSocket* socket = Find(s)) socket->RequestWriteWake();
}

}  // namespace win
