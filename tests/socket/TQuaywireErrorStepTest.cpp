// The step and the cause each socket error carries, one row where each kind is raised.
#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;
using enum TSockStep;
using enum TSockCause;
using TAction = std::function<void(TQuaywire&)>;

namespace {

// Connects (with a 100 ms time-out) to Host: "peer" is a loopback peer that reads and never
// answers, "refused" a port nothing listens on; then runs Then.
struct StepCase {
  const char* Name;
  std::function<void()> Before;
  const char* Host;
  TAction Then;
  const char* Text;
  TSockStep Step;
  TSockCause Cause;
};

void PrintTo(const StepCase& C, std::ostream* Os) { *Os << C.Name; }

void StuckResolver() {
  auto Open = std::make_shared<Gate>();  // the resolver's thread may outlive the test
  win::SetResolver([Open](auto&, auto&, auto&) {
    Open->Wait(2s);
    return win::WSATRY_AGAIN;
  });
}
void NoSuchHost() {
  win::SetResolver([](auto&, auto&, auto&) { return win::WSAHOST_NOT_FOUND; });
}
void Hang() {
  win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
}
TAction Reset(win::SocketCall Call, TAction Action) {
  return [Call, Action](TQuaywire& C) {
    win::SetSocketFault(Call, 1, win::WSAECONNRESET);
    Action(C);
  };
}
void Capture(TQuaywire& C) {
  C.TimeOut = 0;
  const Later Cancels(30ms, [&C] { C.Cancel(); });
  std::string Text;
  C.CaptureString(Text, -1);
}

const char* const ResetText = "10054:Connection reset by peer";
const StepCase StepCases[] = {
    {"LookUpFailed", NoSuchHost, "nowhere.test", {}, "Null Remote Address", ssLookUp, scError},
    {"LookUpTimedOut", StuckResolver, "slow.test", {}, "Host Lookup Timed Out", ssLookUp,
     scTimedOut},
    {"ConnectRefused", {}, "refused", {}, "Connection Failed", ssConnect, scError},
    {"ConnectTimedOut", Hang, "refused", {}, "Connection Timed out", ssConnect, scTimedOut},
    {"SendReset", {}, "peer", Reset(win::SocketCall::Send, [](TQuaywire& C) { C.Write("x"); }),
     ResetText, ssSend, scError},
    {"ReadLnReset", {}, "peer", Reset(win::SocketCall::Recv, [](TQuaywire& C) { C.ReadLn(); }),
     ResetText, ssReceive, scError},
    {"ReadLnTimedOut", {}, "peer", [](TQuaywire& C) { C.ReadLn(); }, "Socket readln aborted",
     ssReceive, scTimedOut},
    {"CaptureCanceled", {}, "peer", Capture, "Socket capture aborted", ssReceive, scCanceled},
};

class ErrorStepTable : public SocketTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(ErrorStepTable, NamesWhereAndWhy) {
  const StepCase& C = GetParam();
  auto& Component = Make();
  Component.TimeOut = 100;
  if (C.Before) C.Before();
  LoopbackPeer Peer(HoldOpen);
  const std::string Host = C.Host;
  Component.Host = Host == "peer" || Host == "refused" ? "127.0.0.1" : Host;
  Component.Port = Host == "peer" ? Peer.Port() : RefusingPort();
  try {
    Component.Connect();
    if (C.Then) C.Then(Component);
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
