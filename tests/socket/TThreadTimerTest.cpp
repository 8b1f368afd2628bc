// The thread timer: when a system timer runs, which writes restart it, and where an
// exception from its handler goes.
#include <gtest/gtest.h>

#include <chrono>

#include "base/TApplication.h"
#include "platform/MessageQueue.h"
#include "platform/WinUser.h"
#include "socket/TThreadTimer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class ThreadTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { Timers = win::GetQueueStats().Timers; }
  void TearDown() override {
    Application.OnException = nullptr;
    EXPECT_EQ(win::GetQueueStats().Timers, Timers);
  }
  std::size_t Running() const { return win::GetQueueStats().Timers - Timers; }

  // Pumps until Ticks reaches Count; returns the time it took, or a huge value on the limit.
  static Clock::duration PumpTicks(const int& Ticks, int Count, Clock::duration Limit = 5s) {
    const auto Start = Clock::now();
    while (Ticks < Count) {
      const auto Left = Limit - (Clock::now() - Start);
      if (Left <= 0s) return Clock::duration::max();
      Application.WaitForEvent(
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Left).count()));
      Application.ProcessMessages();
    }
    return Clock::now() - Start;
  }

  std::size_t Timers = 0;
};

}  // namespace

TEST_F(ThreadTimerTest, SystemTimerRunsOnlyWithIntervalEnabledAndHandler) {
  TThreadTimer T(nullptr);
  EXPECT_TRUE(T.Enabled());
  EXPECT_EQ(T.Interval(), 1000u);
  EXPECT_EQ(Running(), 0u);  // no handler yet
  T.SetOnTimer([](TObject*) {});
  EXPECT_EQ(Running(), 1u);
  T.SetInterval(0);
  EXPECT_EQ(Running(), 0u);
  T.SetInterval(50);
  EXPECT_EQ(Running(), 1u);
  T.SetEnabled(false);
  EXPECT_EQ(Running(), 0u);
  T.SetEnabled(true);
  T.SetOnTimer(nullptr);
  EXPECT_EQ(Running(), 0u);
}

TEST_F(ThreadTimerTest, WritingAnUnchangedValueDoesNotRestartTheCountdown) {
  // Margins are wide on purpose: a restart would push the tick past 2x the interval.
  TThreadTimer T(nullptr);
  int Ticks = 0;
  T.SetInterval(400);
  T.SetOnTimer([&](TObject*) { ++Ticks; });
  const auto Start = Clock::now();
  // Rewrite the same values at about 250 ms.
  TThreadTimer Rewriter(nullptr);
  Rewriter.SetInterval(250);
  Rewriter.SetOnTimer([&](TObject*) {
    Rewriter.SetEnabled(false);
    T.SetInterval(400);
    T.SetEnabled(true);
  });
  PumpTicks(Ticks, 1);
  EXPECT_LT(Clock::now() - Start, 620ms);
}

TEST_F(ThreadTimerTest, ChangingTheIntervalOrHandlerRestartsTheCountdown) {
  for (bool ChangeHandler : {false, true}) {
    TThreadTimer T(nullptr);
    int Ticks = 0;
    T.SetInterval(300);
    T.SetOnTimer([&](TObject*) { ++Ticks; });
    const auto Start = Clock::now();
    TThreadTimer Rewriter(nullptr);
    Rewriter.SetInterval(200);
    Rewriter.SetOnTimer([&](TObject*) {
      Rewriter.SetEnabled(false);
      if (ChangeHandler)
        T.SetOnTimer([&](TObject*) { ++Ticks; });
      else
        T.SetInterval(301);
    });
    PumpTicks(Ticks, 1);
    EXPECT_GE(Clock::now() - Start, 480ms) << "restart expected, handler change " << ChangeHandler;
  }
}

TEST_F(ThreadTimerTest, ExceptionInHandlerGoesToTheApplicationAndTicksGoOn) {
  std::vector<std::string> Reported;
  Application.OnException = [&](const std::string& M) { Reported.push_back(M); };
  TThreadTimer T(nullptr);
  int Ticks = 0;
  T.SetInterval(10);
  T.SetOnTimer([&](TObject*) {
    if (++Ticks == 1) throw std::runtime_error("first tick failed");
  });
  ASSERT_NE(PumpTicks(Ticks, 3), Clock::duration::max());
  EXPECT_EQ(Reported, std::vector<std::string>{"first tick failed"});
}

TEST_F(ThreadTimerTest, TimerWindowAnswersActivateAppAndPassesOtherMessagesOn) {
  TThreadTimer T(nullptr);
  int Ticks = 0;
  T.SetOnTimer([&](TObject*) { ++Ticks; });
  EXPECT_EQ(win::SendMessageA(T.WindowHandle(), win::WM_ACTIVATEAPP, 1, 0), 0);
  EXPECT_EQ(win::SendMessageA(T.WindowHandle(), win::WM_USER + 7, 0, 0), 0);
  win::SendMessageA(T.WindowHandle(), win::WM_TIMER, 1, 0);
  EXPECT_EQ(Ticks, 1);
}

TEST_F(ThreadTimerTest, HandlerMayFreeItsOwnTimer) {
  auto* T = new TThreadTimer(nullptr);
  int Ticks = 0;
  T->SetInterval(10);
  T->SetOnTimer([&](TObject* Sender) {
    ++Ticks;
    static_cast<TThreadTimer*>(Sender)->Free();
  });
  ASSERT_NE(PumpTicks(Ticks, 1), Clock::duration::max());
  const auto Start = Clock::now();
  while (Clock::now() - Start < 50ms) {
    Application.WaitForEvent(10);
    Application.ProcessMessages();
  }
  EXPECT_EQ(Ticks, 1);
}
