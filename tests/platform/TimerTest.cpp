// Window timers: replacement, merging of missed expiries, low priority behind posted
// messages, once per DispatchAll call, and their end with KillTimer or DestroyWindow.
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

TEST_F(TimerTest, TimerIsDispatchedOnlyWhenNoPostedMessageWaits) {
  win::SetTimer(Window(), 1, 1, nullptr);
  win::Sleep(5);
  bool reposted = false;
  Rec().OnMessage = [&](const TMessage& m) {
    if (m.Msg == win::WM_USER && !reposted) {
      reposted = true;
      win::PostMessageA(Window(), win::WM_USER + 1, 0, 0);
    }
  };
  std::size_t before = Rec().Messages.size();
  win::PostMessageA(Window(), win::WM_USER, 0, 0);
  win::DispatchAll();
  std::vector<UINT> order;
  for (std::size_t i = before; i < Rec().Messages.size(); ++i)
    order.push_back(Rec().Messages[i].Msg);
  EXPECT_EQ(order, (std::vector<UINT>{win::WM_USER, win::WM_USER + 1, win::WM_TIMER}));
  Rec().OnMessage = nullptr;
  win::KillTimer(Window(), 1);
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
  EXPECT_FALSE(win::HasPending());
  win::DispatchAll();
  EXPECT_EQ(Ticks(3), 0);
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
