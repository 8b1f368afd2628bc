// errno and getaddrinfo codes to WinSock numbers, and WSAGetLastError's per-thread storage.
#include "platform/Errors.h"

#include <netdb.h>

#include <cerrno>

#include "platform/WinSock.h"

namespace win {

namespace {
// The platform keeps the last error per thread; so do we.
thread_local int LastError = 0;
}  // namespace

int WSAGetLastError() { return LastError; }
void WSASetLastError(int error) { LastError = error; }

namespace detail {

int WsaErrorFromErrno(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      // 10036 means "a blocking call is already running", not a connect in progress.
      return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EINVAL: return WSAEINVAL;
    case EFAULT: return WSAEFAULT;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    // Linux answers a send on a connection the peer has torn down with EPIPE; there is no
    // local shutdown in this interface, so the only cause is the peer.
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EINTR: return WSAEINTR;
    default: return WSAEINVAL;
  }
}

int WsaErrorFromAddrInfo(int eaiError) {
  switch (eaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

int Fail(int wsaError) {
  LastError = wsaError;
  return SOCKET_ERROR;
}

}  // namespace detail
}  // namespace win
