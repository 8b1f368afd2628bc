// The calling thread's message queue: the state behind MessageQueue.h, WinUser.h and the
// notification side of WinSock.h.
//
// One queue per thread, created on first use and never shared: every call except
// TInbox::Post runs on the owning thread, so nothing here is locked. Readiness of the
// queue's sockets, the look-up inbox's eventfd and a timerfd armed for the earliest window
// timer all feed one epoll fd, which is what a waiting thread (or a GUI loop) watches.
//
// Window procedures run re-entrantly from DispatchAll, CreateWindow, DestroyWindow and
// SendMessage, and may create and destroy windows, sockets and timers (their own included).
// So no reference into a table is ever held across a call into user code.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/TInbox.h"
#include "platform/WinSock.h"
#include "platform/WinUser.h"

namespace win::detail {

class TAsyncSocket;

using TClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the timerfd's clock

// A look-up completion waiting for dispatch: the hostent (or address list) is written into
// Buffer only when the message is delivered, so a window destroyed meanwhile leaves the buffer untouched.
struct TLookupDelivery {
  TLookupResult Result;
  char* Buffer = nullptr;
  int Length = 0;
};

struct TPostedMessage {
  HWND Window = 0;
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  int SocketFd = -1;  // set on socket notifications so that closesocket can purge them
  std::shared_ptr<TLookupDelivery> Lookup;
  std::uint64_t Serial = 0;  // order of posting; a dispatch pass ends at the last one it saw
};

class TQueue {
 public:
  static TQueue& Current();

  TQueue();
  ~TQueue();
  TQueue(const TQueue&) = delete;
  TQueue& operator=(const TQueue&) = delete;

  // --- window classes and windows
  ATOM RegisterClass(const WNDCLASSA& wc);
  bool GetClassInfo(HINSTANCE instance, const char* name, WNDCLASSA* out) const;
  bool UnregisterClass(const char* name, HINSTANCE instance);
  HWND CreateWindow(const char* className, CREATESTRUCTA create);
  bool DestroyWindow(HWND hwnd);
  bool IsWindow(HWND hwnd) const;
  bool SetWindowWord(HWND hwnd, int index, LONG_PTR value, LONG_PTR* previous);
  bool GetWindowWord(HWND hwnd, int index, LONG_PTR* value) const;
  LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  bool PostMessage(TPostedMessage msg);

  // --- window timers
  UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
  bool KillTimer(HWND hwnd, UINT_PTR id);

  // --- sockets
  TAsyncSocket* FindSocket(SOCKET s);
  // Takes ownership of a new fd (from socket() or accept()).
  TAsyncSocket& AdoptSocket(int fd);
  // Leaves epoll, closes the fd and drops its queued notifications: Linux hands the same
  // number to the next socket at once, and a stale FD_READ must never reach that one.
  bool CloseSocket(SOCKET s);
  int EpollFd() const { return FEpoll; }
  // A socket whose wanted events may have changed; the next FlushArming tells epoll.
  void ScheduleArming(int fd) {
    FArming.push_back(fd);
    // A program that makes and closes sockets without ever waiting still keeps it short.
    if (FArming.size() > 2 * FSockets.size() + 64) FlushArming();
  }
  // Brings epoll up to date with every scheduled socket. Runs before the queue looks at
  // the epoll fd (harvest, wait, pending check), and at the end of a dispatch pass once a
  // loop of its own watches the fd (QueuePollFd): it would not come back for what a
  // handler's recv or the harvest re-enabled.
  void FlushArming();
  int SharePollFd() {
    FPollFdShared = true;
    return FEpoll;
  }

  // --- host look-ups
  HANDLE StartLookup(HWND hwnd, UINT msg, const std::string& name, char* buf, int buflen);
  HANDLE StartAddrLookup(HWND hwnd, UINT msg, const std::string& name, int family, char* buf,
                         int buflen);
  // Forgets a look-up still running, or drops its completion still queued; false when
  // neither is found (delivered, cancelled, or another thread's).
  bool CancelLookup(HANDLE task);

  // --- the loop (see MessageQueue.h for the order of one pass)
  int DispatchAll();
  bool HasPending();
  void WaitMessage(int timeoutMs);
  QueueStats Stats() const;

 private:
  struct TWindowClass {
    WNDCLASSA Record;
    std::string Name;
    std::string MenuName;
    std::size_t Windows = 0;
  };
  using TClassKey = std::pair<HINSTANCE, std::string>;  // name folded to lower case
  // Orders the keys by module, then by name with ASCII case folded; a name looked up as
  // given is folded while it is compared, so a look-up makes no copy of it.
  struct TClassLess {
    using is_transparent = void;
    bool operator()(const TClassKey& a, const TClassKey& b) const {
      return Less(a.first, a.second, b.first, b.second);
    }
    bool operator()(const TClassKey& a, const std::pair<HINSTANCE, std::string_view>& b) const {
      return Less(a.first, a.second, b.first, b.second);
    }
    bool operator()(const std::pair<HINSTANCE, std::string_view>& a, const TClassKey& b) const {
      return Less(a.first, a.second, b.first, b.second);
    }
    static bool Less(HINSTANCE ia, std::string_view a, HINSTANCE ib, std::string_view b);
  };
  using TClassMap = std::map<TClassKey, TWindowClass, TClassLess>;

  struct TWindow {
    TWindowClass* Class = nullptr;  // the node stays while the class has windows
    WNDPROC Proc = nullptr;
    std::vector<unsigned char> Words;
    bool Destroying = false;
  };

  struct TTimer {
    HWND Window = 0;
    UINT_PTR Id = 0;
    TClock::duration Interval{};
    TClock::time_point Due{};
    std::uint64_t Serial = 0;  // new on every SetTimer, so a replaced timer is a new timer
  };

  struct TLookupTask {
    HWND Window = 0;
    UINT Msg = 0;
    char* Buffer = nullptr;
    int Length = 0;
  };

  // Turns epoll readiness into posted messages, the inbox into look-up messages and a
  // timerfd expiry into a re-arm. The first epoll_wait may block for waitMs (-1: no limit);
  // false when a signal ended that wait.
  bool Harvest(int waitMs);
  bool TimerDue() const;
  void SpliceInbox();
  void Enqueue(TPostedMessage msg);
  bool DispatchPosted();  // pops the front message; false when it was dropped
  bool DispatchDueTimer(std::vector<std::uint64_t>& fired);
  // Makes the timerfd wake no later than the earliest timer (it may wake earlier, for a
  // deadline since killed or moved; the harvest of that wake arms it again). With
  // includePast false, timers already due are left to HasPending, so a harvest does not
  // leave the fd readable for work it has seen.
  void ArmTimerFd(bool includePast);
  void ForgetWindow(HWND hwnd);  // timers, look-ups, queued messages, class count, record
  TClassMap::const_iterator FindClass(HINSTANCE instance, const char* name) const;

  int FEpoll = -1;
  int FTimerFd = -1;
  // The absolute time the timerfd is armed for (0: disarmed, or expired and read), so that
  // a deadline at or after it costs no system call.
  std::int64_t FTimerFdArmedNs = 0;
  std::shared_ptr<TInbox> FInbox;
  std::deque<TPostedMessage> FPosted;
  std::uint64_t FLastPostSerial = 0;
  TClassMap FClasses;
  std::unordered_map<HWND, TWindow> FWindows;
  std::vector<TTimer> FTimers;
  std::uint64_t FNextTimerSerial = 1;
  std::unordered_map<int, std::unique_ptr<TAsyncSocket>> FSockets;
  std::vector<int> FArming;    // fds scheduled for FlushArming (closed ones are skipped there)
  bool FPollFdShared = false;  // someone else may wait on the epoll fd
  std::unordered_map<HANDLE, TLookupTask> FLookups;
  std::uint64_t FWakeups = 0;
  bool FHarvested = false;  // WaitMessage harvested; the next DispatchAll takes that harvest
  bool FHarvestedOthers = false;  // the last harvest saw more than the timerfd
  ATOM FNextAtom = 0xC000;
};

}  // namespace win::detail
