// The hand-off that lets a scripted server send a reply in pieces that really arrive one at a
// time: the client reports from its wait hook, the server waits for that report.
#pragma once

#include <sys/ioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "tests/support/LoopbackPeer.h"

namespace testsupport {

// The hand-off that makes a split reply really arrive in pieces. The client side reports,
// from its wait hook, each time it is about to block with nothing left to read; the server
// sends a part and waits for such a report made after the part was queued.
class ConsumeWatch {
 public:
  // Client thread, just before it blocks waiting for events.
  void ClientWaits(int Fd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    int Pending = 0;
    if (Fd >= 0 && ::ioctl(Fd, FIONREAD, &Pending) == 0 && Pending == 0) {
      ++FGeneration;
      FCond.notify_all();
    }
  }

  // Server thread: sends Data and returns once the client has read it and waits for more
  // (or after a tripwire, when the client stopped reading on its own).
  void SendAndAwaitConsumed(int Fd, const std::string& Data) {
    std::unique_lock<std::mutex> Lock(FMutex);
    SendAll(Fd, Data);
    const std::uint64_t Before = FGeneration;
    if (!FCond.wait_for(Lock, std::chrono::seconds(5), [&] { return FGeneration > Before; }))
      ++FMissed;
  }

  // Hand-offs where the client never came back for more.
  int Missed() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FMissed;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  std::uint64_t FGeneration = 0;
  int FMissed = 0;
};

}  // namespace testsupport
