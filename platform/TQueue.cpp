// The per-thread queue: tables of window classes, windows, timers and sockets, the harvest
// that turns epoll readiness into messages, and the dispatch loop.
#include "platform/TQueue.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/HostLookup.h"
#include "platform/TAsyncSocket.h"

namespace win::detail {

namespace {

// epoll tags outside the range of fd numbers (sockets are tagged with their fd).
constexpr std::uint64_t WakeTag = std::uint64_t{1} << 62;
constexpr std::uint64_t TimerTag = std::uint64_t{1} << 61;

// Handles are never reused within the process: a handle kept after DestroyWindow can only
// ever name nothing, which is what a generation tag buys, without a slot table.
std::atomic<HWND> NextWindowHandle{0x10000};

// Class names compare with ASCII letters folded, whatever locale the program has set.
char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldCase(const char* name) {
  std::string folded(name);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

HINSTANCE NormalInstance(HINSTANCE instance) {
  return instance != 0 ? instance : GetModuleHandleA(nullptr);
}

// Milliseconds, rounded up so that a wait never ends just before its deadline and spins.
int CeilMs(TClock::duration d) {
  if (d <= TClock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// The queue lives as long as its thread. A raw pointer stays usable after the owner's
// destructor has run, so a late call (from another thread-local's destructor) gets a
// fresh queue instead of a destroyed one.
thread_local TQueue* CurrentQueue = nullptr;
struct TQueueOwner {
  ~TQueueOwner() {
    delete CurrentQueue;
    CurrentQueue = nullptr;
  }
};
thread_local TQueueOwner QueueOwner;

}  // namespace

TQueue& TQueue::Current() {
  if (CurrentQueue == nullptr) {
    CurrentQueue = new TQueue();
    (void)&QueueOwner;  // odr-use, so the owner is constructed on this thread
  }
  return *CurrentQueue;
}

TQueue::TQueue() : FInbox(std::make_shared<TInbox>()) {
  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (FEpoll < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  FTimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (FTimerFd < 0) {
    int err = errno;
    ::close(FEpoll);
    throw std::system_error(err, std::generic_category(), "timerfd_create");
  }
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = WakeTag;
  epoll_event timer{};
  timer.events = EPOLLIN;
  timer.data.u64 = TimerTag;
  if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FInbox->WakeFd(), &wake) != 0 ||
      ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FTimerFd, &timer) != 0) {
    int err = errno;
    ::close(FTimerFd);
    ::close(FEpoll);
    throw std::system_error(err, std::generic_category(), "epoll_ctl");
  }
}

TQueue::~TQueue() {
  // No window procedure runs at thread exit: the tables are simply dropped.
  FSockets.clear();
  ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, FInbox->WakeFd(), nullptr);
  ::close(FTimerFd);
  ::close(FEpoll);
}

// ---------------------------------------------------------------------------------------
// Window classes and windows

bool TQueue::TClassLess::Less(HINSTANCE ia, std::string_view a, HINSTANCE ib, std::string_view b) {
  if (ia != ib) return ia < ib;
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(FoldAscii(x)) < static_cast<unsigned char>(FoldAscii(y));
  });
}

TQueue::TClassMap::const_iterator TQueue::FindClass(HINSTANCE instance, const char* name) const {
  if (name == nullptr) return FClasses.end();
  const std::string_view given(name);
  auto it = FClasses.find(std::pair<HINSTANCE, std::string_view>{NormalInstance(instance), given});
  if (it != FClasses.end()) return it;
  // As on the platform, a class of another module is found when none of this one matches.
  return std::find_if(FClasses.begin(), FClasses.end(), [&](const auto& entry) {
    return !TClassLess::Less(0, entry.first.second, 0, given) &&
           !TClassLess::Less(0, given, 0, entry.first.second);
  });
}

ATOM TQueue::RegisterClass(const WNDCLASSA& wc) {
  if (wc.lpfnWndProc == nullptr || wc.lpszClassName == nullptr || wc.lpszClassName[0] == 0 ||
      wc.cbWndExtra < 0 || wc.cbClsExtra < 0) {
    return 0;
  }
  TClassKey key{NormalInstance(wc.hInstance), FoldCase(wc.lpszClassName)};
  if (FClasses.count(key) != 0) return 0;
  TWindowClass& cls = FClasses[key];
  cls.Record = wc;
  cls.Record.hInstance = key.first;
  cls.Name = wc.lpszClassName;
  if (wc.lpszMenuName != nullptr) cls.MenuName = wc.lpszMenuName;
  // The map node never moves, so these pointers stay valid for the class's life.
  cls.Record.lpszClassName = cls.Name.c_str();
  cls.Record.lpszMenuName = wc.lpszMenuName != nullptr ? cls.MenuName.c_str() : nullptr;
  return FNextAtom++;
}

bool TQueue::GetClassInfo(HINSTANCE instance, const char* name, WNDCLASSA* out) const {
  if (name == nullptr) return false;
  auto it = FClasses.find(std::pair<HINSTANCE, std::string_view>{NormalInstance(instance), name});
  if (it == FClasses.end()) return false;
  if (out != nullptr) *out = it->second.Record;
  return true;
}

bool TQueue::UnregisterClass(const char* name, HINSTANCE instance) {
  if (name == nullptr) return false;
  auto it = FClasses.find(std::pair<HINSTANCE, std::string_view>{NormalInstance(instance), name});
  if (it == FClasses.end() || it->second.Windows != 0) return false;
  FClasses.erase(it);
  return true;
}

HWND TQueue::CreateWindow(const char* className, CREATESTRUCTA create) {
  auto cls = FindClass(create.hInstance, className);
  if (cls == FClasses.end()) return 0;
  HWND hwnd = NextWindowHandle.fetch_add(1);
  TWindow window;
  // The class cannot be unregistered while it has windows, so its node outlives this one.
  window.Class = const_cast<TWindowClass*>(&cls->second);
  window.Proc = cls->second.Record.lpfnWndProc;
  // Window words are addressed in whole LONG_PTRs, so a record that asks for fewer bytes
  // than a pointer (4 on the 32-bit platform) still gets the pointer-sized word 0.
  std::size_t bytes = static_cast<std::size_t>(cls->second.Record.cbWndExtra);
  bytes = (bytes + sizeof(LONG_PTR) - 1) / sizeof(LONG_PTR) * sizeof(LONG_PTR);
  window.Words.assign(bytes, 0);
  WNDPROC proc = window.Proc;
  window.Class->Windows++;
  FWindows.emplace(hwnd, std::move(window));

  create.lpszClass = className;
  LPARAM createParam = reinterpret_cast<LPARAM>(&create);
  LRESULT accepted = proc(hwnd, WM_NCCREATE, 0, createParam);
  if (!IsWindow(hwnd)) return 0;
  if (accepted == 0) {
    ForgetWindow(hwnd);
    return 0;
  }
  LRESULT created = proc(hwnd, WM_CREATE, 0, createParam);
  if (!IsWindow(hwnd)) return 0;
  if (created == -1) {
    DestroyWindow(hwnd);
    return 0;
  }
  return hwnd;
}

bool TQueue::DestroyWindow(HWND hwnd) {
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end()) return false;
  // A procedure that destroys its own window from WM_DESTROY must not start over.
  if (it->second.Destroying) return true;
  it->second.Destroying = true;
  WNDPROC proc = it->second.Proc;
  proc(hwnd, WM_DESTROY, 0, 0);
  proc(hwnd, WM_NCDESTROY, 0, 0);
  // Cleaning up afterwards also catches what the two messages' handlers posted or set.
  ForgetWindow(hwnd);
  return true;
}

void TQueue::ForgetWindow(HWND hwnd) {
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end()) return;
  TWindowClass* cls = it->second.Class;
  if (cls->Windows > 0) cls->Windows--;
  FWindows.erase(it);
  std::erase_if(FTimers, [hwnd](const TTimer& t) { return t.Window == hwnd; });
  std::erase_if(FLookups, [hwnd](const auto& entry) { return entry.second.Window == hwnd; });
  std::erase_if(FPosted, [hwnd](const TPostedMessage& m) { return m.Window == hwnd; });
  ArmTimerFd(true);
}

bool TQueue::IsWindow(HWND hwnd) const { return FWindows.count(hwnd) != 0; }

bool TQueue::SetWindowWord(HWND hwnd, int index, LONG_PTR value, LONG_PTR* previous) {
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end() || index < 0) return false;
  auto& words = it->second.Words;
  if (static_cast<std::size_t>(index) + sizeof(LONG_PTR) > words.size()) return false;
  std::memcpy(previous, words.data() + index, sizeof(LONG_PTR));
  std::memcpy(words.data() + index, &value, sizeof(LONG_PTR));
  return true;
}

bool TQueue::GetWindowWord(HWND hwnd, int index, LONG_PTR* value) const {
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end() || index < 0) return false;
  const auto& words = it->second.Words;
  if (static_cast<std::size_t>(index) + sizeof(LONG_PTR) > words.size()) return false;
  std::memcpy(value, words.data() + index, sizeof(LONG_PTR));
  return true;
}

LRESULT TQueue::SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end()) return 0;
  WNDPROC proc = it->second.Proc;
  return proc(hwnd, msg, wParam, lParam);
}

bool TQueue::PostMessage(TPostedMessage msg) {
  if (!IsWindow(msg.Window)) return false;
  Enqueue(std::move(msg));
  return true;
}

void TQueue::Enqueue(TPostedMessage msg) {
  msg.Serial = ++FLastPostSerial;
  FPosted.push_back(std::move(msg));
}

// ---------------------------------------------------------------------------------------
// Timers

UINT_PTR TQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  if (!IsWindow(hwnd)) return 0;
  elapseMs = std::clamp<UINT>(elapseMs, 1, 0x7FFFFFFF);
  auto interval = std::chrono::duration_cast<TClock::duration>(std::chrono::milliseconds(elapseMs));
  auto it = std::find_if(FTimers.begin(), FTimers.end(),
                         [&](const TTimer& t) { return t.Window == hwnd && t.Id == id; });
  if (it == FTimers.end()) it = FTimers.insert(FTimers.end(), TTimer{hwnd, id, {}, {}, 0});
  it->Interval = interval;
  it->Due = TClock::now() + interval;
  it->Serial = FNextTimerSerial++;
  ArmTimerFd(true);
  return id != 0 ? id : 1;
}

bool TQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  auto removed =
      std::erase_if(FTimers, [&](const TTimer& t) { return t.Window == hwnd && t.Id == id; });
  if (removed == 0) return false;
  ArmTimerFd(true);
  return true;
}

void TQueue::ArmTimerFd(bool includePast) {
  auto now = TClock::now();
  bool any = false;
  TClock::time_point earliest{};
  for (const TTimer& t : FTimers) {
    if (!includePast && t.Due <= now) continue;
    if (!any || t.Due < earliest) earliest = t.Due;
    any = true;
  }
  // No timer: a deadline still armed (of a timer since killed) costs one early wake, whose
  // harvest finds nothing due. Disarming would cost a call at every KillTimer instead, and a
  // time-out is set and killed for every operation.
  if (!any) return;
  std::int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch()).count();
  if (ns < 1) ns = 1;  // an all-zero it_value would disarm instead of firing at once
  // Armed for this deadline or an earlier one: that wake comes first (or has come, and the
  // fd is readable until a harvest reads it), and its harvest arms for what is due then.
  // So a timer moved later, or a new one behind the earliest, costs no system call.
  if (FTimerFdArmedNs != 0 && FTimerFdArmedNs <= ns) return;
  FTimerFdArmedNs = ns;
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  ::timerfd_settime(FTimerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

// ---------------------------------------------------------------------------------------
// Sockets

TAsyncSocket* TQueue::FindSocket(SOCKET s) {
  if (s > 0x7FFFFFFF) return nullptr;
  auto it = FSockets.find(static_cast<int>(s));
  return it == FSockets.end() ? nullptr : it->second.get();
}

TAsyncSocket& TQueue::AdoptSocket(int fd) {
  auto socket = std::make_unique<TAsyncSocket>(*this, fd);
  TAsyncSocket& ref = *socket;
  FSockets[fd] = std::move(socket);
  return ref;
}

void TQueue::FlushArming() {
  // ApplyArming runs no user code and schedules nothing, so the list holds still. A closed
  // socket's fd may name a newer socket by now; ApplyArming does nothing for one that has
  // not scheduled itself.
  for (int fd : FArming) {
    if (TAsyncSocket* socket = FindSocket(static_cast<SOCKET>(fd))) socket->ApplyArming();
  }
  FArming.clear();
}

bool TQueue::CloseSocket(SOCKET s) {
  TAsyncSocket* socket = FindSocket(s);
  if (socket == nullptr) return false;
  int fd = socket->Fd();
  FSockets.erase(fd);  // the destructor leaves epoll and closes
  std::erase_if(FPosted, [fd](const TPostedMessage& m) { return m.SocketFd == fd; });
  return true;
}

// ---------------------------------------------------------------------------------------
// Look-ups

HANDLE TQueue::StartLookup(HWND hwnd, UINT msg, const std::string& name, char* buf, int buflen) {
  HANDLE task = StartHostLookup(FInbox, name);
  if (task != 0) FLookups[task] = TLookupTask{hwnd, msg, buf, buflen};
  return task;
}

HANDLE TQueue::StartAddrLookup(HWND hwnd, UINT msg, const std::string& name, int family,
                               char* buf, int buflen) {
  HANDLE task = detail::StartAddrLookup(FInbox, name, family);
  if (task != 0) FLookups[task] = TLookupTask{hwnd, msg, buf, buflen};
  return task;
}

bool TQueue::CancelLookup(HANDLE task) {
  // Still running, or finished with its result in the inbox: the splice finds no task.
  if (FLookups.erase(task) > 0) return true;
  return std::erase_if(FPosted, [task](const TPostedMessage& m) {
           return m.Lookup && m.Lookup->Result.Task == task;
         }) > 0;
}

void TQueue::SpliceInbox() {
  for (TLookupResult& result : FInbox->Take()) {
    auto it = FLookups.find(result.Task);
    if (it == FLookups.end()) continue;  // its window was destroyed meanwhile
    TLookupTask task = it->second;
    FLookups.erase(it);
    if (!IsWindow(task.Window)) continue;
    auto delivery = std::make_shared<TLookupDelivery>();
    delivery->Result = std::move(result);
    delivery->Buffer = task.Buffer;
    delivery->Length = task.Length;
    TPostedMessage msg;
    msg.Window = task.Window;
    msg.Msg = task.Msg;
    msg.WParam = delivery->Result.Task;
    msg.Lookup = std::move(delivery);
    Enqueue(std::move(msg));
  }
}

// ---------------------------------------------------------------------------------------
// The loop

bool TQueue::Harvest(int waitMs) {
  constexpr int Batch = 64;
  epoll_event events[Batch];
  bool timerFired = false;
  FHarvestedOthers = false;
  FlushArming();
  for (;;) {
    int n = ::epoll_wait(FEpoll, events, Batch, waitMs);
    if (n < 0) {
      if (errno != EINTR) break;
      if (waitMs != 0) return false;  // the caller goes on with what is left of its wait
      continue;
    }
    waitMs = 0;  // a full batch: take the rest without waiting
    for (int i = 0; i < n; ++i) {
      std::uint64_t tag = events[i].data.u64;
      if (tag == TimerTag) {
        std::uint64_t expirations = 0;
        if (::read(FTimerFd, &expirations, sizeof expirations) == sizeof expirations) {
          FTimerFdArmedNs = 0;  // a one-shot timerfd is disarmed once it has expired
          timerFired = true;
        }
        continue;
      }
      FHarvestedOthers = true;
      if (tag == WakeTag) {
        SpliceInbox();
      } else if (TAsyncSocket* socket = FindSocket(tag)) {
        // No user code runs in a harvest, so no socket of this batch can have been closed
        // and its number reused before its event is handled.
        socket->OnReady(events[i].events);
      }
    }
    if (n < Batch) break;
  }
  if (timerFired) ArmTimerFd(false);
  return true;
}

bool TQueue::DispatchPosted() {
  TPostedMessage msg = std::move(FPosted.front());
  FPosted.pop_front();
  auto it = FWindows.find(msg.Window);
  if (it == FWindows.end()) return false;  // its window is gone: dropped
  WNDPROC proc = it->second.Proc;
  LPARAM lParam = msg.LParam;
  if (msg.Lookup) {
    lParam = WriteLookup(msg.Lookup->Result, msg.Lookup->Buffer, msg.Lookup->Length);
  }
  proc(msg.Window, msg.Msg, msg.WParam, lParam);
  return true;
}

bool TQueue::DispatchDueTimer(std::vector<std::uint64_t>& fired) {
  auto now = TClock::now();
  const TTimer* due = nullptr;
  for (const TTimer& t : FTimers) {
    if (t.Due > now || std::find(fired.begin(), fired.end(), t.Serial) != fired.end()) continue;
    if (due == nullptr || t.Due < due->Due || (t.Due == due->Due && t.Serial < due->Serial))
      due = &t;
  }
  if (due == nullptr) return false;
  TTimer& timer = const_cast<TTimer&>(*due);
  fired.push_back(timer.Serial);
  // Rescheduling from now merges every expiry missed so far into this one message.
  timer.Due = now + timer.Interval;
  HWND hwnd = timer.Window;
  UINT_PTR id = timer.Id;
  ArmTimerFd(true);
  auto it = FWindows.find(hwnd);
  if (it == FWindows.end()) return true;
  WNDPROC proc = it->second.Proc;
  auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  proc(hwnd, WM_TIMER, id, static_cast<LPARAM>(static_cast<DWORD>(tick)));
  return true;
}

int TQueue::DispatchAll() {
  // One pass takes what was pending after its harvest and nothing posted later: a handler
  // that keeps a message coming (a peek in an FD_READ handler re-posts FD_READ at every
  // harvest) would otherwise hold the pass for ever, and the time-out's WM_TIMER with it.
  // Each call keeps its own record of the timers it fired, so a nested call started from a
  // WM_TIMER handler may fire that timer again once it is due.
  std::vector<std::uint64_t> fired;
  int delivered = 0;
  // A WaitMessage that has just harvested (and so ended its wait) leaves that harvest to
  // this pass: a second epoll_wait right after it would find nothing, for a system call.
  if (!FHarvested) Harvest(0);
  FHarvested = false;
  const std::uint64_t last = FLastPostSerial;
  // A nested call may take some of these first; the serial says where this pass ends.
  while (!FPosted.empty() && FPosted.front().Serial <= last) {
    if (DispatchPosted()) ++delivered;
  }
  // A due timer fires in every pass, however many messages keep arriving.
  while (DispatchDueTimer(fired)) ++delivered;
  // A harvest by a wait nested in this pass is no fresh harvest for the next one.
  FHarvested = false;
  // A timer that fell due again while this call ran leaves the fd readable, so that a GUI
  // watching it comes back for it; so do messages left for the next pass, and what the
  // handlers' socket calls re-enabled. Without such a loop every wait flushes first.
  ArmTimerFd(true);
  if (FPollFdShared) FlushArming();
  if (!FPosted.empty()) FInbox->Wake();
  return delivered;
}

bool TQueue::HasPending() {
  FlushArming();
  if (!FPosted.empty() || TimerDue()) return true;
  pollfd p{FEpoll, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

bool TQueue::TimerDue() const {
  auto now = TClock::now();
  for (const TTimer& t : FTimers) {
    if (t.Due <= now) return true;
  }
  return false;
}

void TQueue::WaitMessage(int timeoutMs) {
  FlushArming();
  if (!FPosted.empty() || TimerDue()) return;
  auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    auto now = TClock::now();
    int wait = timeoutMs < 0 ? -1 : CeilMs(deadline - now);
    // The timerfd already wakes us for the next timer; bounding the wait by it as well
    // keeps a wait correct even if the timerfd was left disarmed by a harvest.
    for (const TTimer& t : FTimers) {
      int untilDue = CeilMs(t.Due - now);
      if (wait < 0 || untilDue < wait) wait = untilDue;
    }
    // The wait is the harvest's own epoll_wait: readiness becomes messages at once (no
    // user code runs), so no oneshot event is consumed without its notification, and
    // unharvested readiness ends the wait without blocking.
    if (!Harvest(wait)) {
      // Interrupted: go on with what is left of the timeout, not the whole of it again.
      if (timeoutMs >= 0 && TClock::now() >= deadline) return;
      continue;
    }
    FHarvested = true;
    // The timerfd alone woke us, for a deadline since killed or moved later (it is left
    // armed for those): nothing is due, so the wait goes on, for the time left.
    if (!FHarvestedOthers && FPosted.empty() && !TimerDue() &&
        (timeoutMs < 0 || TClock::now() < deadline))
      continue;
    ++FWakeups;
    return;
  }
}

QueueStats TQueue::Stats() const {
  QueueStats stats;
  stats.Wakeups = FWakeups;
  stats.Windows = FWindows.size();
  stats.Timers = FTimers.size();
  stats.Sockets = FSockets.size();
  stats.PostedMessages = FPosted.size();
  return stats;
}

}  // namespace win::detail
