// The one door into a thread's queue from other threads: finished host look-ups.
//
// Look-up workers cannot be cancelled or joined, so a worker may finish after the queue, or
// the whole thread, is gone. The inbox is therefore shared (std::shared_ptr) between the
// queue and every worker still running, and owns the eventfd that wakes the queue: a late
// worker writes into a live inbox and a live fd, never into a number reused by someone else.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WinSock.h"
#include "platform/WinTypes.h"

namespace win::detail {

// What a look-up's completion writes into the caller's buffer.
enum class TLookupKind { Hostent, AddressList };

struct TLookupResult {
  HANDLE Task = 0;
  TLookupKind Kind = TLookupKind::Hostent;
  int Error = 0;                         // 0 or a WinSock look-up number
  std::vector<std::uint32_t> Addresses;  // Hostent: IPv4, network order
  std::vector<SOCKADDR_INET> Endpoints;  // AddressList: either family, port 0
  std::string Name;                      // the canonical name
};

class TInbox {
 public:
  TInbox();
  ~TInbox();
  TInbox(const TInbox&) = delete;
  TInbox& operator=(const TInbox&) = delete;

  // The eventfd that becomes readable when a result arrives (level-triggered).
  int WakeFd() const { return FWakeFd; }

  // Any thread.
  void Post(TLookupResult result);
  // Makes the fd readable without a result, so that a loop watching it comes back.
  void Wake();

  // Owner thread: empties the eventfd, then hands over every result posted so far. Draining
  // first means a result posted during the call leaves the fd readable for the next harvest.
  std::vector<TLookupResult> Take();

 private:
  int FWakeFd = -1;
  std::mutex FLock;
  std::vector<TLookupResult> FResults;
};

}  // namespace win::detail
