// Failures that tests inject into the socket calls: a connect filter that makes chosen
// connects hang as if the address were black-holed, and one-shot faults that make the nth
// connect, send or recv fail with a given WinSock error, and a family whose sockets cannot be made. Process-wide and locked, since a
// test may install them from any thread. The product never installs either: with nothing
// installed every call goes ahead.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>

namespace win {

// Decides, for a connect to `addr`, whether it goes ahead or hangs silently (no FD_CONNECT
// ever, as with a black-holed address). An empty function lets every connect go ahead.
// There is one filter: installing either form replaces the other, and an empty one of
// either form removes it.
enum class ConnectVerdict { Proceed, Hang };
// Sees IPv4 connects only; every other connect goes ahead.
using ConnectFilter = std::function<ConnectVerdict(const sockaddr_in& addr)>;
void SetConnectFilter(ConnectFilter filter);
// Sees every connect: `addr` holds the caller's address (a sockaddr_in or a sockaddr_in6 by
// its ss_family, zero beyond what the caller gave) and `addrlen` the length it gave.
using AddressConnectFilter =
    std::function<ConnectVerdict(const sockaddr_storage& addr, int addrlen)>;
void SetAddressConnectFilter(AddressConnectFilter filter);

// Makes the nth call of one kind (1 = the next one), on any socket, fail with the WinSock
// `error` before it does anything else; the calls before it run normally, and the fault is
// spent once it has fired. A failing recv still re-enables FD_READ, as a real one does.
// nth 0 or error 0 removes the fault.
enum class SocketCall { Connect, Send, Recv };
void SetSocketFault(SocketCall call, int nth, int error);
void ClearSocketFaults();

// Makes every socket creation for `family` fail with the WinSock `error`, as on a kernel
// without that family, until it is removed with an error of 0. One family at a time.
void SetFamilyFault(int family, int error);

namespace detail {

// What the socket calls ask before they run.
// The error this call must fail with, or 0 when it runs normally; counts the call.
int InjectedError(SocketCall call);
// The installed filter's verdict on a connect to `name`.
ConnectVerdict ConnectVerdictFor(const sockaddr* name, int namelen);
// The error a socket creation for `family` must fail with, or 0.
int FamilyError(int family);

}  // namespace detail

}  // namespace win
