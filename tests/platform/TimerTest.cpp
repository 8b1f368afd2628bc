// Window timers: replacement, merging of missed expiries, low priority behind posted
// messages, once per DispatchAll call, and their end with KillTimer or DestroyWindow.
#include <poll.h>

#include <algorithm>
#include <vector>

#include "PlatformTest.h"
#include "platform/WinUser.h"

namespace platformtest {
namespace {

using win::UINT;

class TimerTest : public TPlatformTest {
 protected:
  int Ticks(win::UINT_PTR id) {
    int n = 0;
    for (const TMessage& m : Rec().Of(win::WM_TIMER)) n += m.WParam == id ? 1 : 0;
    return n;
  }
};

TEST_F(TimerTest, SettingAnExistingTimerAgainRestartsItsCountdown) {
  ASSERT_EQ(win::SetTimer(Window(), 1, 300, nullptr), 1u);
  ASSERT_EQ(win::SetTimer(Window(), 2, 150, nullptr), 2u);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(2) == 1; }));
  win::KillTimer(Window(), 2);
  EXPECT_EQ(Ticks(1), 0);
  auto replaced = Clock::now();
  ASSERT_EQ(win::SetTimer(Window(), 1, 300, nullptr), 1u);
  EXPECT_EQ(win::GetQueueStats().Timers, 1u) << "replaced, not added";
  ASSERT_TRUE(PumpUntil([&] { return Ticks(1) == 1; }));
  EXPECT_GE(Clock::now() - replaced, std::chrono::milliseconds(300));
  win::KillTimer(Window(), 1);
}

TEST_F(TimerTest, MissedExpiriesMergeIntoOneMessage) {
  win::SetTimer(Window(), 1, 10, nullptr);
  win::Sleep(100);  // ten expiries pass without dispatching
  EXPECT_EQ(win::DispatchAll(), 1);
  EXPECT_EQ(Ticks(1), 1);
  EXPECT_EQ(win::DispatchAll(), 0) << "rescheduled from the tick, not from the first due time";
  win::KillTimer(Window(), 1);
}

TEST_F(TimerTest, TimerFollowsThePostedMessagesOfItsPassAndLaterOnesWait) {
  win::SetTimer(Window(), 1, 1, nullptr);
  win::Sleep(5);
  bool reposted = false;
  Rec().OnMessage = [&](const TMessage& m) {
    if (m.Msg == win::WM_TIMER) win::KillTimer(Window(), 1);  // once is enough here
    if (m.Msg == win::WM_USER && !reposted) {
      reposted = true;
      win::PostMessageA(Window(), win::WM_USER + 1, 0, 0);
    }
  };
  std::size_t before = Rec().Messages.size();
  win::PostMessageA(Window(), win::WM_USER, 0, 0);
  auto order = [&] {
    std::vector<UINT> msgs;
    for (std::size_t i = before; i < Rec().Messages.size(); ++i)
      msgs.push_back(Rec().Messages[i].Msg);
    before = Rec().Messages.size();
    return msgs;
  };
  // The timer was due first, but waits behind what was posted before the pass began.
  EXPECT_EQ(win::DispatchAll(), 2);
  EXPECT_EQ(order(), (std::vector<UINT>{win::WM_USER, win::WM_TIMER}));
  // What a handler posted is left for the next pass, and the fd says so to a GUI loop.
  pollfd p{win::QueuePollFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 1);
  EXPECT_TRUE(win::HasPending());
  EXPECT_EQ(win::DispatchAll(), 1);
  EXPECT_EQ(order(), (std::vector<UINT>{win::WM_USER + 1}));
  Rec().OnMessage = nullptr;
}

// A handler that keeps a message coming must hold no pass for ever: each pass dispatches
// what was pending when it began, and a due timer fires within the pass.
TEST_F(TimerTest, MessageStormNeitherHoldsAPassNorStarvesADueTimer) {
  enum class Storm { Repost, PeekInFdRead };
  for (Storm storm : {Storm::Repost, Storm::PeekInFdRead}) {
    SCOPED_TRACE(storm == Storm::Repost ? "a handler re-posting its message"
                                        : "a peek in the FD_READ handler while data waits");
    TFd peer;
    win::SOCKET s = win::INVALID_SOCKET;
    int inPass = 0;
    int mostInAPass = 0;
    bool storming = true;
    Rec().OnMessage = [&](const TMessage& m) {
      bool stormMessage = storm == Storm::Repost
                              ? m.Msg == win::WM_USER
                              : m.Msg == WM_SOCKET && win::LOWORD(m.LParam) == win::FD_READ;
      if (!stormMessage || !storming) return;
      // Tripwire: a pass that never ends is cut off here instead of hanging the test.
      if (++inPass > 10000) return;
      char c;
      if (storm == Storm::Repost)
        win::PostMessageA(Window(), win::WM_USER, 0, 0);
      else
        win::recv(s, &c, 1, MSG_PEEK);
    };
    if (storm == Storm::Repost) {
      win::PostMessageA(Window(), win::WM_USER, 0, 0);
    } else {
      s = ConnectedPair(peer);
      SendAll(peer.Get(), "220 ready\r\n", 11);
      ASSERT_TRUE(WaitFor([&] { return Unread(s) == 11; }));
    }
    win::SetTimer(Window(), 1, 1, nullptr);
    win::Sleep(5);  // the timer is due before the first pass
    int passes = 0;
    while (Rec().Count(win::WM_TIMER) == 0 && passes < 100) {
      inPass = 0;
      win::DispatchAll();
      mostInAPass = std::max(mostInAPass, inPass);
      ++passes;
    }
    EXPECT_EQ(passes, 1) << "the due timer did not fire in the first pass";
    EXPECT_EQ(mostInAPass, 1);
    // The storm goes on in later passes, one message each.
    inPass = 0;
    win::DispatchAll();
    EXPECT_EQ(inPass, 1);
    storming = false;
    win::KillTimer(Window(), 1);
    PumpUntil([] { return !win::HasPending(); });
    Rec().OnMessage = nullptr;
    Rec().Messages.clear();
    if (s != win::INVALID_SOCKET) win::closesocket(s);
  }
}

TEST_F(TimerTest, EachTimerFiresOncePerCallButANestedCallMayFireItAgain) {
  win::SetTimer(Window(), 1, 1, nullptr);
  win::SetTimer(Window(), 2, 1, nullptr);
  int nested = 0;
  Rec().OnMessage = [&](const TMessage& m) {
    if (m.Msg != win::WM_TIMER) return;
    win::Sleep(3);  // both timers are due again before the handler returns
    if (m.WParam == 1 && nested++ == 0) win::DispatchAll();
  };
  win::Sleep(2);
  win::DispatchAll();  // must return although the timers keep falling due
  // Outer call: 1 and 2 once each; the nested call inside the first tick: 1 and 2 once each.
  EXPECT_EQ(Ticks(1), 2);
  EXPECT_EQ(Ticks(2), 2);
  Rec().OnMessage = nullptr;
  win::KillTimer(Window(), 1);
  win::KillTimer(Window(), 2);
}

TEST_F(TimerTest, KillTimerStopsItAndReportsWhetherItExisted) {
  win::SetTimer(Window(), 3, 5, nullptr);
  EXPECT_TRUE(win::KillTimer(Window(), 3));
  EXPECT_FALSE(win::KillTimer(Window(), 3));
  EXPECT_EQ(win::GetQueueStats().Timers, 0u);
  win::Sleep(15);
  // The system timer may still wake the queue for the killed timer's deadline: that wake
  // dispatches nothing and leaves the queue quiet.
  EXPECT_EQ(win::DispatchAll(), 0);
  EXPECT_FALSE(win::HasPending());
  EXPECT_EQ(Ticks(3), 0);
}

// The system timer is left armed for a deadline that a KillTimer, DestroyWindow or a later
// SetTimer made stale. Its early wake must neither fire a timer before its time nor leave
// the queue readable (a waiting loop would spin): it arms for the real next deadline.
TEST_F(TimerTest, StaleEarlyDeadlineNeitherFiresATimerEarlyNorSpins) {
  enum class Stale { Killed, MovedLater, WindowDestroyed, KilledNoneLeft };
  struct TRow {
    const char* Name;
    Stale How;
  };
  const TRow rows[] = {
      {"killed, another timer due later", Stale::Killed},
      {"the same timer set again for later", Stale::MovedLater},
      {"its window destroyed, another timer due later", Stale::WindowDestroyed},
      {"killed, no timer left", Stale::KilledNoneLeft},
  };
  constexpr auto Early = std::chrono::milliseconds(20);
  constexpr auto Late = std::chrono::milliseconds(200);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Rec().Messages.clear();
    auto other = std::make_unique<TMessageRecorder>();
    win::HWND early = row.How == Stale::WindowDestroyed ? other->Window() : Window();
    win::UINT_PTR earlyId = row.How == Stale::MovedLater ? 2 : 1;
    ASSERT_NE(win::SetTimer(early, earlyId, static_cast<UINT>(Early.count()), nullptr), 0u);
    auto set = Clock::now();
    switch (row.How) {
      case Stale::Killed:
      case Stale::KilledNoneLeft: win::KillTimer(Window(), 1); break;
      case Stale::WindowDestroyed: other.reset(); break;
      case Stale::MovedLater: break;
    }
    if (row.How != Stale::KilledNoneLeft)
      win::SetTimer(Window(), 2, static_cast<UINT>(Late.count()), nullptr);

    std::uint64_t before = win::GetQueueStats().Wakeups;
    if (row.How == Stale::KilledNoneLeft) {
      // Nothing is due: the wait may end at the stale deadline, once, and then blocks.
      for (auto left = Late; left > left.zero();
           left =
               Late - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - set)) {
        win::WaitMessage(static_cast<int>(left.count()));
        win::DispatchAll();
      }
      EXPECT_EQ(Rec().Count(win::WM_TIMER), 0);
    } else {
      ASSERT_TRUE(PumpUntil([&] { return Ticks(2) == 1; }));
      EXPECT_GE(Clock::now() - set, Late) << "fired at the stale deadline";
      EXPECT_EQ(Rec().Count(win::WM_TIMER), 1);
      win::KillTimer(Window(), 2);
    }
    // A wake at the stale deadline, one at the real one, and one for a rounding: a loop
    // left readable would count thousands here.
    EXPECT_LE(win::GetQueueStats().Wakeups - before, 3u);
    EXPECT_EQ(win::DispatchAll(), 0);
    EXPECT_FALSE(win::HasPending());
  }
}

TEST_F(TimerTest, DestroyWindowKillsItsTimersAndDropsItsMessages) {
  auto other = std::make_unique<TMessageRecorder>();
  win::HWND hwnd = other->Window();
  win::SetTimer(hwnd, 1, 1, nullptr);
  win::SetTimer(Window(), 9, 1, nullptr);
  win::PostMessageA(hwnd, win::WM_USER, 0, 0);
  win::Sleep(3);
  win::DestroyWindow(hwnd);
  EXPECT_EQ(win::GetQueueStats().Timers, 1u);
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 0u);
  win::DispatchAll();
  EXPECT_EQ(other->Count(win::WM_TIMER), 0);
  EXPECT_EQ(other->Count(win::WM_USER), 0);
  EXPECT_EQ(Ticks(9), 1) << "another window's timer is untouched";
  win::KillTimer(Window(), 9);
}

}  // namespace
}  // namespace platformtest
