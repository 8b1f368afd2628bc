// The step and the cause each socket error carries, one row where each kind is raised.
#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;
using enum TSockStep;
using enum TSockCause;

namespace {

struct StepCase {
  const char* Name;
  std::function<void(TQuaywire&)> Run;  // given a component with a 100 ms time-out
  const char* Text;
  TSockStep Step;
  TSockCause Cause;
};

// Connects to a peer that reads and never answers, then runs Action.
std::function<void(TQuaywire&)> Connected(std::function<void(TQuaywire&)> Action) {
  return [Action](TQuaywire& C) {
    LoopbackPeer Peer(HoldOpen);
    C.Host = "127.0.0.1";
    C.Port = Peer.Port();
    C.Connect();
    Action(C);
  };
}

void StuckLookUp(TQuaywire& C, bool Cancel) {
  auto Open = std::make_shared<Gate>();  // the resolver's thread may outlive the test
  win::SetResolver([Open](const std::string&, std::vector<std::uint32_t>&, std::string&) {
    Open->Wait(2s);
    return win::WSATRY_AGAIN;
  });
  C.TimeOut = Cancel ? 0 : 100;
  const Later Cancels(Cancel ? 30ms : 10s, [&C] { C.Cancel(); });
  C.Host = "slow.test";
  C.Connect();
}

const StepCase StepCases[] = {
    {"LookUpFailed",
     [](TQuaywire& C) {
       win::SetResolver([](const std::string&, std::vector<std::uint32_t>&, std::string&) {
         return win::WSAHOST_NOT_FOUND;
       });
       C.Host = "nowhere.test";
       C.Connect();
     },
     "Null Remote Address", ssLookUp, scError},
    {"LookUpTimedOut", [](TQuaywire& C) { StuckLookUp(C, false); }, "Host Lookup Timed Out",
     ssLookUp, scTimedOut},
    {"LookUpCanceled", [](TQuaywire& C) { StuckLookUp(C, true); }, "Host Lookup Canceled",
     ssLookUp, scCanceled},
    {"ConnectRefused",
     [](TQuaywire& C) {
       C.Host = "127.0.0.1";
       C.Port = RefusingPort();
       C.Connect();
     },
     "Connection Failed", ssConnect, scError},
    {"ConnectTimedOut",
     [](TQuaywire& C) {
       win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
       C.Host = "127.0.0.1";
       C.Port = RefusingPort();
       C.Connect();
     },
     "Connection Timed out", ssConnect, scTimedOut},
    {"SendReset", Connected([](TQuaywire& C) {
       win::SetSocketFault(win::SocketCall::Send, 1, win::WSAECONNRESET);
       C.Write("x");
     }),
     "10054:Connection reset by peer", ssSend, scError},
    {"SendCanceled", Connected([](TQuaywire& C) {
       C.Canceled = true;
       C.Write("x");
     }),
     "Socket send aborted", ssSend, scCanceled},
    {"ReadLnReset", Connected([](TQuaywire& C) {
       win::SetSocketFault(win::SocketCall::Recv, 1, win::WSAECONNRESET);
       C.ReadLn();
     }),
     "10054:Connection reset by peer", ssReceive, scError},
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
