// Handlers running inside the component's own calls: cancels, failures and destruction
// from there, and transfers started from inside other transfers.
#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Calls Action from a timer message after Delay, as a user's click during a wait would.
class Later {
 public:
  Later(std::chrono::milliseconds Delay, std::function<void()> Action) : FTimer(nullptr) {
    FTimer.SetInterval(static_cast<std::uint32_t>(Delay.count()));
    FTimer.SetOnTimer([this, Action = std::move(Action)](TObject*) {
      FTimer.SetEnabled(false);
      Action();
    });
  }

 private:
  TThreadTimer FTimer;
};

}  // namespace

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
