// The injected connect filter and socket-call faults; see FaultSeam.h.
#include "platform/FaultSeam.h"

#include <algorithm>
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
AddressConnectFilter& InstalledFilter() {
  static AddressConnectFilter filter;
  return filter;
}

// Injected failures, by call kind: the call that brings the countdown to 0 fails.
struct TFault {
  int Countdown = 0;
  int Error = 0;
};
std::mutex FaultLock;
TFault Faults[3];
// Read without a lock: a pair of words that tests set between connects.
std::atomic<int> FaultyFamily{AF_UNSPEC};
std::atomic<int> FamilyFailure{0};

// Under FaultLock, after any change of Faults.
void NoteFaults() {
  bool any = false;
  for (const TFault& each : Faults) any = any || each.Countdown > 0;
  FaultsInstalled.store(any, std::memory_order_release);
}

}  // namespace

void SetAddressConnectFilter(AddressConnectFilter filter) {
  std::lock_guard<std::mutex> guard(FilterLock);
  FilterInstalled.store(static_cast<bool>(filter), std::memory_order_release);
  InstalledFilter() = std::move(filter);
}

void SetConnectFilter(ConnectFilter filter) {
  if (!filter) {
    SetAddressConnectFilter({});
    return;
  }
  SetAddressConnectFilter([ipv4 = std::move(filter)](const sockaddr_storage& addr, int addrlen) {
    if (addr.ss_family != AF_INET || addrlen < static_cast<int>(sizeof(sockaddr_in)))
      return ConnectVerdict::Proceed;
    sockaddr_in in;
    std::memcpy(&in, &addr, sizeof in);
    return ipv4(in);
  });
}

void SetSocketFault(SocketCall call, int nth, int error) {
  std::lock_guard<std::mutex> guard(FaultLock);
  Faults[static_cast<int>(call)] = {error != 0 ? nth : 0, error};
  NoteFaults();
}

void ClearSocketFaults() {
  for (SocketCall call : {SocketCall::Connect, SocketCall::Send, SocketCall::Recv})
    SetSocketFault(call, 0, 0);
  SetFamilyFault(AF_UNSPEC, 0);
}

void SetFamilyFault(int family, int error) {
  FamilyFailure.store(error, std::memory_order_release);
  FaultyFamily.store(error != 0 ? family : AF_UNSPEC, std::memory_order_release);
}

namespace detail {

int FamilyError(int family) {
  if (family == AF_UNSPEC || FaultyFamily.load(std::memory_order_acquire) != family) return 0;
  return FamilyFailure.load(std::memory_order_acquire);
}

int InjectedError(SocketCall call) {
  if (!FaultsInstalled.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> guard(FaultLock);
  TFault& fault = Faults[static_cast<int>(call)];
  if (fault.Countdown <= 0 || --fault.Countdown > 0) return 0;
  NoteFaults();  // spent
  return fault.Error;
}

ConnectVerdict ConnectVerdictFor(const sockaddr* name, int namelen) {
  if (!FilterInstalled.load(std::memory_order_acquire)) return ConnectVerdict::Proceed;
  AddressConnectFilter filter;
  {
    // Called outside the lock: a filter may itself install another one.
    std::lock_guard<std::mutex> guard(FilterLock);
    filter = InstalledFilter();
  }
  if (!filter) return ConnectVerdict::Proceed;
  sockaddr_storage addr{};
  std::memcpy(&addr, name, std::min<std::size_t>(static_cast<std::size_t>(namelen), sizeof addr));
  return filter(addr, namelen);
}

}  // namespace detail

}  // namespace win
