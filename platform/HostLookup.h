// Asynchronous host look-ups: the worker threads, the replaceable resolvers, and what the
// completion writes into the caller's buffer when it is dispatched (a hostent for
// WSAAsyncGetHostByName, a HOSTADDRESSES for WSAAsyncGetAddrInfo).
#pragma once

#include <memory>
#include <string>

#include "platform/TInbox.h"
#include "platform/WinTypes.h"

namespace win::detail {

// Starts a detached worker that resolves `name` and posts the result into `inbox`. Returns
// the task handle, or 0 with the last error set when no thread could be started.
HANDLE StartHostLookup(std::shared_ptr<TInbox> inbox, const std::string& name);
// The same for addresses of `family` (AF_UNSPEC, AF_INET or AF_INET6).
HANDLE StartAddrLookup(std::shared_ptr<TInbox> inbox, const std::string& name, int family);

// Whether `task` is a handle some look-up of this process was given.
bool IssuedTask(HANDLE task);

// Writes a hostent for `result` into `buf`, every pointer pointing inside `buf`, and returns
// the completion message's LParam: (bytes used, 0), (0, error) for a failed look-up, or
// (bytes needed, WSAENOBUFS) when `buflen` is too small, in which case `buf` is untouched.
LPARAM WriteHostent(const TLookupResult& result, char* buf, int buflen);
// The same with a HOSTADDRESSES.
LPARAM WriteAddressList(const TLookupResult& result, char* buf, int buflen);
// Whichever of the two the result's kind asks for.
LPARAM WriteLookup(const TLookupResult& result, char* buf, int buflen);

}  // namespace win::detail
