// Handlers running inside the component's own calls: cancels, failures and destruction
// from there, and transfers started from inside other transfers.
#include <time.h>

#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;

TEST_F(SocketTest, UsersCancelEndsEachTransferWithItsAbortText) {
  Gate Done;
  LoopbackPeer Peer([&](int) { Done.Wait(); });
  auto& C = Make();
  C.TimeOut = 3000;  // a tripwire: the cancels come long before, and TimedOut must stay false
  ConnectTo(Peer.Port());

  // A cancel made before the wait starts must not leave ReadLn waiting.
  C.OnStatus = [&](TObject*, const std::string& S) {
    if (S == "ReadLn") C.Cancel();
  };
  try {
    C.ReadLn();
    ADD_FAILURE() << "no abort";
  } catch (const EAbortError& E) {
    EXPECT_STREQ(E.what(), "Socket readln aborted");
  }
  EXPECT_FALSE(C.Canceled);
  EXPECT_FALSE(C.TimedOut);
  C.OnStatus = nullptr;

  const std::string Name = "/tmp/orrery-cancel-" + std::to_string(::getpid());
  {
    Later Cancel(30ms, [&] { C.Cancel(); });
    try {
      C.CaptureFile(Name);
      ADD_FAILURE() << "no abort";
    } catch (const EAbortError& E) {
      EXPECT_STREQ(E.what(), "Socket send aborted");
    }
  }
  ::unlink(Name.c_str());
  {
    Later Cancel(30ms, [&] { C.Cancel(); });
    std::string Text;
    try {
      C.CaptureString(Text, -1);
      ADD_FAILURE() << "no abort";
    } catch (const EAbortError& E) {
      EXPECT_STREQ(E.what(), "Socket capture aborted");
    }
  }
  EXPECT_FALSE(C.Canceled);
  EXPECT_FALSE(C.TimedOut);
  Done.Open();
}

TEST_F(SocketTest, TransferStartedFromInsideAnotherIsRefused) {
  LoopbackPeer Peer([](int Fd) { SendAll(Fd, std::string(200000, 'a')); });
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  std::vector<std::string> Refusals;
  C.OnPacketRecvd = [&](TObject*) {
    try {
      C.ReadLn();
    } catch (const ESockError& E) {
      Refusals.push_back(E.what());
    }
  };
  std::string Text;
  C.CaptureString(Text, -1);
  EXPECT_EQ(Text, std::string(200000, 'a'));  // the capture itself is undisturbed
  ASSERT_FALSE(Refusals.empty());
  EXPECT_NE(Refusals.front().find("another transfer"), std::string::npos) << Refusals.front();
}

TEST_F(SocketTest, FailingDisconnectHandlerStillLeavesAFreshSocket) {
  LoopbackPeer Peer([](int) {}, 2);  // each connection is closed by the peer at once
  auto& C = Make();
  int Disconnects = 0;
  C.OnDisconnect = [&](TObject*) {
    ++Disconnects;
    throw std::runtime_error("handler failed");
  };
  ConnectTo(Peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return Disconnects == 1; }));
  EXPECT_NE(C.SocketHandle, NoSocket);
  ConnectTo(Peer.Port());                            // the fresh socket connects
  EXPECT_THROW(C.Disconnect(), std::runtime_error);  // a direct call passes the error on
  EXPECT_NE(C.SocketHandle, NoSocket);
}

TEST_F(SocketTest, StatusHandlerMayDestroyTheComponentMidCall) {
  LoopbackPeer Peer(HoldOpen);
  Make();
  TQuaywire* Raw = Q.release();
  Raw->Host = "127.0.0.1";
  Raw->Port = Peer.Port();
  Raw->Connect();
  Raw->ReportLevel = 8;
  Raw->OnStatus = [Raw](TObject*, const std::string& S) {
    if (S == "Timer On") Raw->Free();
  };
  EXPECT_THROW(Raw->ReadLn(), EComponentDestroyed);
}

TEST_F(SocketTest, DesignModeChangedAfterConstructionKeepsTheCountsRight) {
  TComponent Form(nullptr);
  Form.SetDesigning(true);
  auto* Designed = new TQuaywire(&Form);
  Form.SetDesigning(false);
  TOwned<TQuaywire> Live(new TQuaywire(nullptr));
  EXPECT_EQ(TQuaywire::WinsockUsers, 1);
  Designed->Free();  // started nothing, so it cleans up nothing
  EXPECT_EQ(TQuaywire::WinsockUsers, 1);
  Live.reset();
  EXPECT_EQ(TQuaywire::WinsockUsers, 0);
}

// The handler asks whether data waits while the data stays unread: the question must not
// bring the notification back, or the handler runs at every pump, spins a core, and (before
// the dispatch was bounded) held Connect and every other component's time-out for ever.
TEST_F(SocketTest, DataAvailableFromOnDataAvailableNeitherSpinsNorStarvesAnotherTimeOut) {
  Gate Done;
  LoopbackPeer Talker([&](int Fd) {
    SendAll(Fd, "220 ready\r\n");
    Done.Wait();
  });
  LoopbackPeer Silent([&](int) { Done.Wait(); });
  auto& A = Make();
  A.TimeOut = 1000;
  int Calls = 0;
  A.OnDataAvailable = [&](TObject*) {
    if (++Calls < 10000) A.DataAvailable();  // past the tripwire the storm stops
  };
  ConnectTo(Talker.Port());
  ASSERT_TRUE(PumpUntil([&] { return Calls > 0; }));

  TOwned<TQuaywire> B(new TQuaywire(nullptr));
  B->Host = "127.0.0.1";
  B->Port = Silent.Port();
  B->TimeOut = 300;
  B->Connect();
  const auto CpuTime = [] {
    timespec T{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return std::chrono::seconds(T.tv_sec) + std::chrono::nanoseconds(T.tv_nsec);
  };
  const auto CpuBefore = CpuTime();
  const auto Start = std::chrono::steady_clock::now();
  try {
    B->ReadLn();
    ADD_FAILURE() << "no time-out";
  } catch (const EAbortError& E) {
    EXPECT_STREQ(E.what(), "Socket readln aborted");
  }
  const auto Wall = std::chrono::steady_clock::now() - Start;
  const auto Cpu = CpuTime() - CpuBefore;
  EXPECT_TRUE(B->TimedOut);
  EXPECT_LT(Cpu, Wall / 2) << "the wait burned CPU";
  EXPECT_EQ(Calls, 1) << "the read notification came back without a receive";
  EXPECT_EQ(A.ReadLn(), "220 ready\r\n");  // untouched by the questions
  Done.Open();
}
