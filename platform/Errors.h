// Translation of Linux error numbers into WinSock numbers, and the thread's last WinSock error.
// The two numbering schemes differ, so the translation is an explicit table, never an offset.
#pragma once

namespace win::detail {

// A WinSock number for an errno value (EINTR must be retried by the caller, not mapped).
int WsaErrorFromErrno(int err);

// A WinSock look-up number for a getaddrinfo result code (EAI_...).
int WsaErrorFromAddrInfo(int eaiError);

// Records `wsaError` as the thread's last error and returns SOCKET_ERROR, so that a failing
// call can end with `return Fail(...)`.
int Fail(int wsaError);

}  // namespace win::detail
