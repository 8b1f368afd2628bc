// The step and the cause each socket error carries, one row where each kind is raised.
#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;
using enum TSockStep;
using enum TSockCause;
using TRun = std::function<void(TQuaywire&)>;

namespace {

struct StepCase {
  const char* Name;
  TRun Run;  // given a component with a 100 ms time-out
  const char* Text;
  TSockStep Step;
  TSockCause Cause;
};

void Connect(TQuaywire& C, const char* Host, std::uint16_t Port = 80) {
  C.Host = Host;
  C.Port = Port;
  C.Connect();
}

// Connected to a peer that reads and never answers, then Action.
TRun Connected(TRun Action) {
  return [Action](TQuaywire& C) {
    LoopbackPeer Peer(HoldOpen);
    Connect(C, "127.0.0.1", Peer.Port());
    Action(C);
  };
}

// A look-up that does not end before the time-out.
void StuckLookUp(TQuaywire& C) {
  auto Open = std::make_shared<Gate>();  // the resolver's thread may outlive the test
  win::SetResolver([Open](auto&, auto&, auto&) {
    Open->Wait(2s);
    return win::WSATRY_AGAIN;
  });
  Connect(C, "slow.test");
}

TRun Fault(win::SocketCall Call, TRun Action) {
  return Connected([Call, Action](TQuaywire& C) {
    win::SetSocketFault(Call, 1, win::WSAECONNRESET);
    Action(C);
  });
}

const char* const Reset = "10054:Connection reset by peer";

const StepCase StepCases[] = {
    {"LookUpFailed",
     [](TQuaywire& C) {
       win::SetResolver([](auto&, auto&, auto&) { return win::WSAHOST_NOT_FOUND; });
       Connect(C, "nowhere.test");
     },
     "Null Remote Address", ssLookUp, scError},
    {"LookUpTimedOut", StuckLookUp, "Host Lookup Timed Out", ssLookUp, scTimedOut},
    {"ConnectRefused", [](TQuaywire& C) { Connect(C, "127.0.0.1", RefusingPort()); },
     "Connection Failed", ssConnect, scError},
    {"ConnectTimedOut",
     [](TQuaywire& C) {
       win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
       Connect(C, "127.0.0.1", RefusingPort());
     },
     "Connection Timed out", ssConnect, scTimedOut},
    {"SendReset", Fault(win::SocketCall::Send, [](TQuaywire& C) { C.Write("x"); }), Reset, ssSend,
     scError},
    {"ReadLnReset", Fault(win::SocketCall::Recv, [](TQuaywire& C) { C.ReadLn(); }), Reset,
     ssReceive, scError},
    {"ReadLnTimedOut", Connected([](TQuaywire& C) { C.ReadLn(); }), "Socket readln aborted",
     ssReceive, scTimedOut},
    {"CaptureCanceled", Connected([](TQuaywire& C) {
       C.TimeOut = 0;
       const Later Cancels(30ms, [&C] { C.Cancel(); });
       std::string Text;
       C.CaptureString(Text, -1);
     }),
     "Socket capture aborted", ssReceive, scCanceled},
};

class ErrorStepTable : public SocketTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(ErrorStepTable, NamesWhereAndWhy) {
  const StepCase& C = GetParam();
  auto& Component = Make();
  Component.TimeOut = 100;
  try {
    C.Run(Component);
    ADD_FAILURE() << "no error";
  } catch (const ESockError& E) {
    EXPECT_STREQ(E.what(), C.Text);
    EXPECT_EQ(E.Step(), C.Step);
    EXPECT_EQ(E.Cause(), C.Cause);
  }
  win::ClearSocketFaults();
}

INSTANTIATE_TEST_SUITE_P(Steps, ErrorStepTable, ::testing::ValuesIn(StepCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
