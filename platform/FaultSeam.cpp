// The injected connect filter and socket-call faults; see FaultSeam.h.
#include "platform/FaultSeam.h"

#include <cstring>
#include <mutex>
#include <utility>

namespace win {

namespace {

std::mutex FilterLock;
ConnectFilter& InstalledFilter() {
  static ConnectFilter filter;
  return filter;
}

// Injected failures, by call kind: the call that brings the countdown to 0 fails.
struct TFault {
  int Countdown = 0;
  int Error = 0;
};
std::mutex FaultLock;
TFault Faults[3];

}  // namespace

void SetConnectFilter(ConnectFilter filter) {
  std::lock_guard<std::mutex> guard(FilterLock);
  InstalledFilter() = std::move(filter);
}

void SetSocketFault(SocketCall call, int nth, int error) {
  std::lock_guard<std::mutex> guard(FaultLock);
  Faults[static_cast<int>(call)] = {error != 0 ? nth : 0, error};
}

void ClearSocketFaults() {
  for (SocketCall call : {SocketCall::Connect, SocketCall::Send, SocketCall::Recv})
    SetSocketFault(call, 0, 0);
}

namespace detail {

int InjectedError(SocketCall call) {
  std::lock_guard<std::mutex> guard(FaultLock);
  TFault& fault = Faults[static_cast<int>(call)];
  if (fault.Countdown <= 0 || --fault.Countdown > 0) return 0;
  return fault.Error;
}

ConnectVerdict ConnectVerdictFor(const sockaddr* name, int namelen) {
  if (name->sa_family != AF_INET || namelen < static_cast<int>(sizeof(sockaddr_in))) {
    return ConnectVerdict::Proceed;
  }
  ConnectFilter filter;
  {
    // Called outside the lock: a filter may itself install another one.
    std::lock_guard<std::mutex> guard(FilterLock);
    filter = InstalledFilter();
  }
  if (!filter) return ConnectVerdict::Proceed;
  sockaddr_in addr;
  std::memcpy(&addr, name, sizeof addr);
  return filter(addr);
}

}  // namespace detail

}  // namespace win
