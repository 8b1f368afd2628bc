// Asynchronous host look-up: the worker threads, the replaceable resolver, and the hostent
// written into the caller's buffer when the completion is dispatched.
#pragma once

#include <memory>
#include <string>

#include "platform/TInbox.h"
#include "platform/WinTypes.h"

namespace win::detail {

// Starts a detached worker that resolves `name` and posts the result into `inbox`. Returns
// the task handle, or 0 with the last error set when no thread could be started.
HANDLE StartHostLookup(std::shared_ptr<TInbox> inbox, const std::string& name);

// Writes a hostent for `result` into `buf`, every pointer pointing inside `buf`, and returns
// the completion message's LParam: (bytes used, 0), (0, error) for a failed look-up, or
// (bytes needed, WSAENOBUFS) when `buflen` is too small, in which case `buf` is untouched.
LPARAM WriteHostent(const TLookupResult& result, char* buf, int buflen);

}  // namespace win::detail
