// WaitMessage and the queue's fd: a wait costs nothing while nothing happens, ends early for
// a worker's completion or a timer, and a harvest leaves the fd quiet for a GUI notifier.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "PlatformTest.h"
#include "platform/WinUser.h"

namespace platformtest {
namespace {

std::chrono::nanoseconds ThreadCpuTime() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

bool FdReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

class WaitTest : public TPlatformTest {
 protected:
  // Interrupts this thread with a signal every 20 ms for about a second, so that every
  // blocking call in it keeps failing with EINTR.
  class TInterrupter {
   public:
    TInterrupter() : FTarget(::pthread_self()) {
      struct sigaction action {};
      action.sa_handler = [](int) {};
      ::sigaction(SIGUSR1, &action, &FPrevious);  // no SA_RESTART
      FThread = std::thread([this] {
        // Bounded, so that a wait that restarts its whole timeout fails instead of hanging.
        while (!FStop && Sent < 50) {
          ::pthread_kill(FTarget, SIGUSR1);
          ++Sent;
          ::poll(nullptr, 0, 20);
        }
      });
    }
    ~TInterrupter() {
      FStop = true;
      FThread.join();
      ::sigaction(SIGUSR1, &FPrevious, nullptr);
    }
    std::atomic<int> Sent{0};

   private:
    pthread_t FTarget;
    struct sigaction FPrevious {};
    std::atomic<bool> FStop{false};
    std::thread FThread;
  };
};

TEST_F(WaitTest, InterruptedWaitGoesOnWithTheRemainingTimeOnly) {
  std::uint64_t before = win::GetQueueStats().Wakeups;
  auto start = Clock::now();
  {
    TInterrupter signals;
    win::WaitMessage(300);
    EXPECT_GE(signals.Sent.load(), 5);
  }
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(299));
  // Restarting with the whole timeout after each signal would outlast all of them.
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  EXPECT_EQ(win::GetQueueStats().Wakeups - before, 1u) << "an interruption counted as a wake";

  start = Clock::now();
  {
    TInterrupter signals;
    win::Sleep(300);
  }
  elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(299)) << "Sleep was cut short by a signal";
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}

TEST_F(WaitTest, WaitOnASilentSocketBlocksOnceForTheWholeTimeout) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  win::DispatchAll();
  std::uint64_t before = win::GetQueueStats().Wakeups;
  auto cpuBefore = ThreadCpuTime();
  auto start = Clock::now();
  win::WaitMessage(300);
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(295));
  EXPECT_LE(win::GetQueueStats().Wakeups - before, 1u) << "the wait woke up without cause";
  EXPECT_LT(ThreadCpuTime() - cpuBefore, std::chrono::milliseconds(50)) << "the wait burned CPU";
  win::closesocket(s);
}

TEST_F(WaitTest, LookupCompletionFromAWorkerEndsTheWaitEarly) {
  win::SetResolver([](const std::string&, std::vector<std::uint32_t>& addrs, std::string&) {
    win::Sleep(30);  // stands in for a slow name server
    addrs = {0x0100007F};
    return 0;
  });
  std::vector<char> buffer(win::MAXGETHOSTSTRUCT);
  win::HANDLE task = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "slow.example.test",
                                                buffer.data(), static_cast<int>(buffer.size()));
  ASSERT_NE(task, 0u);
  std::uint64_t before = win::GetQueueStats().Wakeups;
  auto start = Clock::now();
  win::WaitMessage(10000);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(win::GetQueueStats().Wakeups - before, 1u);
  EXPECT_EQ(win::DispatchAll(), 1);
  EXPECT_EQ(Rec().Count(WM_LOOKUP), 1);
}

TEST_F(WaitTest, DueTimerEndsTheWait) {
  win::SetTimer(Window(), 1, 50, nullptr);
  auto start = Clock::now();
  win::WaitMessage(10000);
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(49));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_TRUE(win::HasPending());
  EXPECT_EQ(win::DispatchAll(), 1);
  EXPECT_FALSE(FdReadable(win::QueuePollFd())) << "the next tick is 50 ms away";
  win::KillTimer(Window(), 1);
}

TEST_F(WaitTest, PendingWorkMakesTheWaitReturnWithoutBlocking) {
  win::PostMessageA(Window(), win::WM_USER, 0, 0);
  std::uint64_t before = win::GetQueueStats().Wakeups;
  auto start = Clock::now();
  win::WaitMessage(10000);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(win::GetQueueStats().Wakeups, before) << "no blocking wait should have happened";
  win::DispatchAll();
}

TEST_F(WaitTest, UnharvestedSocketReadinessIsPending) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  win::DispatchAll();
  EXPECT_FALSE(win::HasPending());
  SendAll(peer.Get(), "x", 1);
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 1; }));
  EXPECT_TRUE(win::HasPending());
  win::WaitMessage(10000);  // returns at once
  EXPECT_EQ(win::DispatchAll(), 1);
  win::closesocket(s);
}

// A level-triggered notifier on the fd must not fire again for work a harvest has already
// taken: unread bytes whose FD_READ was posted, a peer's FIN behind them, a future timer,
// a drained look-up.
TEST_F(WaitTest, AfterDispatchTheQueueFdIsQuiet) {
  int fd = win::QueuePollFd();
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  win::DispatchAll();
  EXPECT_FALSE(FdReadable(fd));

  SendAll(peer.Get(), "abc", 3);
  peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return PeerFinArrived(s); }));
  EXPECT_TRUE(FdReadable(fd));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, win::FD_READ), 1);
  EXPECT_FALSE(FdReadable(fd)) << "unread bytes after EOF keep the fd readable";

  win::SetTimer(Window(), 1, 60000, nullptr);
  std::vector<char> buffer(win::MAXGETHOSTSTRUCT);
  win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "127.0.0.1", buffer.data(),
                             static_cast<int>(buffer.size()));
  ASSERT_TRUE(PumpUntil([&] { return Rec().Count(WM_LOOKUP) == 1; }));
  EXPECT_FALSE(FdReadable(fd));

  char buf[4];
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 3);
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 1u) << "FD_CLOSE follows the last byte";
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, win::FD_CLOSE), 1);
  EXPECT_FALSE(FdReadable(fd));
  win::KillTimer(Window(), 1);
  win::closesocket(s);
}

// A loop of its own that watches the queue's fd (a GUI) runs none of the queue's waits:
// what the harvest and a handler's recv re-enabled must reach epoll before DispatchAll
// returns, or the bytes left, or those that come next, are never reported.
TEST_F(WaitTest, AWatchedFdComesBackForWhatAHandlersRecvReenabled) {
  for (int read : {2, 4}) {  // of the 4 bytes sent: bytes left; drained, then new bytes
    SCOPED_TRACE(read);
    int fd = win::QueuePollFd();
    TFd peer;
    win::SOCKET s = ConnectedPair(peer);
    win::DispatchAll();
    SendAll(peer.Get(), "abcd", 4);
    ASSERT_TRUE(WaitFor([&] { return FdReadable(fd); })) << "bytes after FD_CONNECT";
    Rec().OnMessage = [&](const TMessage& m) {
      char buf[4];
      if (m.Msg == WM_SOCKET && win::LOWORD(m.LParam) == win::FD_READ)
        win::recv(s, buf, read, 0);
    };
    win::DispatchAll();
    Rec().OnMessage = nullptr;
    ASSERT_EQ(Rec().CountEvent(s, win::FD_READ), 1);
    if (read == 4) SendAll(peer.Get(), "e", 1);
    EXPECT_TRUE(WaitFor([&] { return FdReadable(fd); })) << "the watching loop was not woken";
    win::DispatchAll();
    EXPECT_EQ(Rec().CountEvent(s, win::FD_READ), 2);
    win::closesocket(s);
    Rec().Messages.clear();
  }
}

}  // namespace
}  // namespace platformtest
