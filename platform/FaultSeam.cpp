// The injected connect filter and socket-call faults; see FaultSeam.h.
#include "platform/FaultSeam.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

namespace win {

namespace {

// Whether anything is installed, read without the locks: every socket call of the product
// asks, and the product installs nothing. A call that races an installation runs as if it
// had come just before it.
std::atomic<bool> FilterInstalled{false};
std::atomic<bool> FaultsInstalled{false};

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

// Under FaultLock, after any change of Faults.
void NoteFaults() {
  bool any = false;
  for (const TFault& each : Faults) any = any || each.Countdown > 0;
  FaultsInstalled.store(any, std::memory_order_release);
}

}  // namespace

void SetConnectFilter(ConnectFilter filter) {
  std::lock_guard<std::mutex> guard(FilterLock);
  FilterInstalled.store(static_cast<bool>(filter), std::memory_order_release);
  InstalledFilter() = std::move(filter);
}

void SetSocketFault(SocketCall call, int nth, int error) {
  std::lock_guard<std::mutex> guard(FaultLock);
  Faults[static_cast<int>(call)] = {error != 0 ? nth : 0, error};
  NoteFaults();
}

void ClearSocketFaults() {
  for (SocketCall call : {SocketCall::Connect, SocketCall::Send, SocketCall::Recv})
    SetSocketFault(call, 0, 0);
}

namespace detail {

int InjectedError(SocketCall call) {
  if (!FaultsInstalled.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> guard(FaultLock);
  TFault& fault = Faults[static_cast<int>(call)];
  if (fault.Countdown <= 0 || --fault.Countdown > 0) return 0;
  NoteFaults();  // spent
  return fault.Error;
}

ConnectVerdict ConnectVerdictFor(const sockaddr* name, int namelen) {
  if (name->sa_family != AF_INET || namelen < static_cast<int>(sizeof(sockaddr_in))) {
    return ConnectVerdict::Proceed;
  }
  if (!FilterInstalled.load(std::memory_order_acquire)) return ConnectVerdict::Proceed;
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
