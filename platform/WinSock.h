// Windows Sockets 1.1 in its asynchronous, window-message-driven mode, on top of Linux
// sockets and the thread's message queue. Addresses, hostent, linger and the option
// constants (AF_INET, SOCK_STREAM, SOL_SOCKET, SO_LINGER, MSG_PEEK, ...) are the POSIX ones.
// Sockets are IPv4 (AF_INET, sockaddr_in) or IPv6 (AF_INET6, sockaddr_in6); every call that
// takes or gives an address takes either, and any length up to a sockaddr_storage's.
//
// Notification rules: see WSAAsyncSelect below. Errors are WinSock numbers (never errno),
// read with WSAGetLastError after a call returned SOCKET_ERROR / INVALID_SOCKET / 0.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

// glibc makes these macros when optimising, which would rename the declarations below (and
// every call to them) to its byte-swap helpers. The functions it also declares remain.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace win {

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;
constexpr std::uint32_t INADDR_NONE_ = 0xFFFFFFFFu;  // POSIX already defines INADDR_NONE as a macro

// Notification events (low word of the message's LParam).
constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

// Error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
constexpr int MAXGETHOSTSTRUCT = 1024;
// A buffer for WSAAsyncGetAddrInfo: a long name and some sixty addresses.
constexpr int MAXGETADDRSTRUCT = 2048;

// An address of either family, told apart by si_family, as a connect takes it.
union SOCKADDR_INET {
  sockaddr_in Ipv4;
  sockaddr_in6 Ipv6;
  sa_family_t si_family;
};
// The length a connect or bind takes for `addr`: that of its family's sockaddr.
inline int SockaddrLength(const SOCKADDR_INET& addr) {
  return addr.si_family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                                    : static_cast<int>(sizeof(sockaddr_in));
}

// What WSAAsyncGetAddrInfo writes into the caller's buffer, at its first suitably aligned
// byte: every pointer points inside the buffer.
struct HOSTADDRESSES {
  char* Name = nullptr;                // the canonical name, NUL-terminated
  int Count = 0;                       // at least 1
  SOCKADDR_INET* Addresses = nullptr;  // Count entries, in the resolver's order, port 0
};

struct WSADATA {
  WORD wVersion = 0;      // major version in the low byte
  WORD wHighVersion = 0;  // likewise
  char szDescription[WSADESCRIPTION_LEN + 1] = {};
  char szSystemStatus[WSASYS_STATUS_LEN + 1] = {};
  std::uint16_t iMaxSockets = 0;
  std::uint16_t iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

int WSAStartup(WORD versionRequested, WSADATA* data);  // 0 on success, else an error number
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
// The connected peer's address; 10057 when the socket is not connected.
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int connect(SOCKET s, const sockaddr* name, int namelen);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
// FIONREAD (the POSIX value) only: *argp = the bytes a recv could take now. A status query:
// unlike recv with MSG_PEEK it re-enables no notification.
int ioctlsocket(SOCKET s, long cmd, DWORD* argp);

std::uint16_t htons(std::uint16_t v);
std::uint16_t ntohs(std::uint16_t v);
std::uint32_t htonl(std::uint32_t v);
std::uint32_t ntohl(std::uint32_t v);

// a, a.b, a.b.c or a.b.c.d; each part decimal, octal (leading 0) or hex (0x); the last part
// fills the remaining bytes. Returns the address in network order, or INADDR_NONE_ (also
// for "", for blanks anywhere and for trailing text such as "1.2.3.4 junk").
std::uint32_t inet_addr(const char* cp);

// Makes the socket non-blocking and asks for messages `msg` on `hwnd` for the events in
// `events` (0 cancels). Replaces an earlier registration; messages already queued still arrive.
// One message per event; an event is posted again only after its re-enabling call (recv for
// FD_READ/FD_OOB, accept for FD_ACCEPT; FD_CONNECT and FD_CLOSE once). FD_CLOSE follows the
// last byte read, with 0 for a graceful close and 10054 for a reset.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

// Starts a look-up on a worker thread; returns its task handle, or 0 (error set) when it
// cannot start. The completion `msg` carries the handle in WParam and, in LParam, the
// buffer length (low word: the bytes of `buf` used) and the error (high word; 10055 with
// the needed size when `buf` is too small). The hostent is built inside `buf` just before
// the message is dispatched, and never if the window has been destroyed by then. An empty
// name means the local host; an IPv4 literal resolves to itself.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);

// The same look-up for addresses of both families: `family` is AF_UNSPEC (IPv6 and IPv4,
// as getaddrinfo orders them), AF_INET or AF_INET6 (that family only; 10047 for another
// value). Starts, completes and fails as WSAAsyncGetHostByName does, with the same numbers
// in the same words, but writes a HOSTADDRESSES into `buf` instead of a hostent. Every
// address is kept, in getaddrinfo's order, less repeats. An IPv6 literal (without brackets)
// or a dotted IPv4 one resolves to itself without a query; 11004 when it is not of the
// family asked, and 11001 for anything else with a ':' in it, such as a zone
// ("fe80::1%eth0"), which is not supported. An empty name means the local host.
HANDLE WSAAsyncGetAddrInfo(HWND hwnd, UINT msg, const char* name, int family, char* buf,
                           int buflen);

// Cancels a look-up of either kind started on this thread: its completion is never
// delivered and its buffer never written, even when the look-up had finished and its
// message was waiting. 10037 (WSAEALREADY) when it has completed or was cancelled already,
// 10022 for a handle no look-up was given.
int WSACancelAsyncRequest(HANDLE task);

// --- Seams for tests -------------------------------------------------------------------
// (The injected connect filter and socket faults are in FaultSeam.h, which tests include.)

// Resolves `name` to IPv4 addresses (network order) and the canonical name; returns 0 or
// a WinSock look-up error (11001 ...). Runs on the worker thread.
using Resolver = std::function<int(const std::string& name, std::vector<std::uint32_t>& addrs,
                                   std::string& canonicalName)>;
// Installs a resolver for the whole process; an empty function restores getaddrinfo.
void SetResolver(Resolver resolver);

// Resolves `name` to addresses of either family, in the order the look-up is to give them,
// for `family` AF_UNSPEC, AF_INET or AF_INET6 (addresses of another family are dropped
// afterwards, so a resolver may ignore it); returns 0 or a look-up error. Runs on the
// worker thread. Each look-up uses the resolver of its own kind when one is installed,
// else the other kind's (its IPv4 addresses only, for WSAAsyncGetHostByName), else
// getaddrinfo: a test's IPv4 resolver keeps answering WSAAsyncGetAddrInfo too.
using AddrResolver = std::function<int(const std::string& name, int family,
                                       std::vector<SOCKADDR_INET>& addrs,
                                       std::string& canonicalName)>;
// Installs a both-family resolver for the whole process; an empty function removes it.
void SetAddrResolver(AddrResolver resolver);

// Asks for one wake of the queue when `s` becomes writable (no message is posted). Lets a
// sender that met WSAEWOULDBLOCK wait for room without FD_WRITE in its event mask.
void RequestWriteWake(SOCKET s);

}  // namespace win
