// Captures in large receives, the expected-size hint, ReadLn's look-ahead, the time-out set
// only for calls that let messages flow, and the socket kept when nothing used it.
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::string Pattern(std::size_t Count) {
  std::string S(Count, '\0');
  for (std::size_t I = 0; I < Count; ++I) S[I] = static_cast<char>((I * 131 + I / 977) & 0xFF);
  return S;
}

std::string FileText(const std::string& Name) {
  std::ifstream F(Name, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

struct CaptureCase {
  const char* Name;
  std::size_t Size;   // body bytes the peer sends before it closes
  std::int64_t Hint;  // BytesTotal when the capture starts; -1: the body's own size
  bool ToFile;
  std::int64_t Limit = -1;  // the bounded capture's bound; -1: the unbounded one
};

const CaptureCase CaptureCases[] = {
    {"EmptyNoHint", 0, 0, false},
    {"SmallExactHint", 1000, -1, false},
    {"SmallHintTooLarge", 1000, 4000, false},
    {"LargeNoHint", 1500000, 0, false},
    {"LargeExactHint", 1500000, -1, false},
    {"LargeHintTooSmall", 1500000, 1000, false},
    {"LargeHostileHint", 1500000, 1000000000000000, false},
    {"SmallHostileHint", 10, 1000000000000000, false},
    {"NegativeHint", 70000, -5, false},
    {"FileLarge", 1500000, 0, true},
    {"FileEmpty", 0, 0, true},
    // Bounded: exactly the first Limit bytes, not one more taken from the socket.
    {"BoundedLarge", 1500000, 0, false, 1400000},
    {"BoundedZero", 1000, 0, false, 0},
    {"BoundedFile", 1500000, 0, true, 70000},
};

void PrintTo(const CaptureCase& C, std::ostream* Os) { *Os << C.Name; }

class Capture : public SocketTest, public ::testing::WithParamInterface<CaptureCase> {};

// Whatever the hint, the capture keeps exactly what came, and progress is still told in
// blocks of at most 64 KiB that add up to the whole.
TEST_P(Capture, KeepsExactlyWhatCameAndTellsProgressByBlocks) {
  const CaptureCase& P = GetParam();
  const std::string Sent = Pattern(P.Size);
  const std::string Body = P.Limit < 0 ? Sent : Sent.substr(0, static_cast<std::size_t>(P.Limit));
  LoopbackPeer Peer([&](int Fd) { SendAll(Fd, Sent); });
  auto& C = Make(2);
  C.TimeOut = 10000;
  std::vector<std::int64_t> Steps;
  std::int64_t Last = 0;
  C.OnPacketRecvd = [&](TObject*) {
    Steps.push_back(C.BytesRecvd - Last);
    Last = C.BytesRecvd;
  };
  ConnectTo(Peer.Port());
  C.BytesTotal = P.Hint == -1 ? static_cast<std::int64_t>(P.Size) : P.Hint;
  std::string Got;
  if (P.ToFile) {
    char Name[] = "/tmp/orrery-capture-XXXXXX";
    const int Fd = ::mkstemp(Name);
    ASSERT_GE(Fd, 0);
    ::close(Fd);
    if (P.Limit < 0)
      C.CaptureFile(Name);
    else
      C.CaptureFileAtMost(Name, P.Limit);
    Got = FileText(Name);
    ::unlink(Name);
  } else if (P.Limit < 0) {
    C.CaptureString(Got, -1);
  } else {
    C.CaptureStringAtMost(Got, P.Limit);
  }
  EXPECT_TRUE(Got == Body) << "captured " << Got.size() << " of " << Body.size() << " bytes";
  EXPECT_EQ(C.BytesRecvd, static_cast<std::int64_t>(Body.size()));
  EXPECT_GE(Steps.size(), (Body.size() + 65535) / 65536);
  for (const std::int64_t Step : Steps) {
    EXPECT_GT(Step, 0);
    EXPECT_LE(Step, 65536);
  }
}

INSTANTIATE_TEST_SUITE_P(Hints, Capture, ::testing::ValuesIn(CaptureCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// A cancel from the first block's event ends the capture at once, however much one receive
// took: the text holds what arrived and the count agrees with it.
TEST_F(SocketTest, CancelFromTheFirstBlockEndsALargeReceiveThere) {
  const std::string Body = Pattern(1 << 20);
  LoopbackPeer Peer(
      [&](int Fd) {
        SendAll(Fd, Body);
        HoldOpen(Fd);
      },
      2);
  for (const bool ToFile : {false, true}) {
    SCOPED_TRACE(ToFile ? "file" : "string");
    auto& C = Make(0);
    C.TimeOut = 10000;
    int Packets = 0;
    C.OnPacketRecvd = [&](TObject*) {
      if (++Packets == 1) C.Cancel();
    };
    ConnectTo(Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return C.DataAvailable(); }));
    std::string Got;
    char Name[] = "/tmp/orrery-capture-XXXXXX";
    const int Fd = ::mkstemp(Name);
    ::close(Fd);
    const std::string Error = ErrorOf([&] {
      if (ToFile)
        C.CaptureFile(Name);
      else
        C.CaptureString(Got, -1);
    });
    if (ToFile) Got = FileText(Name);
    ::unlink(Name);
    EXPECT_EQ(Error, ToFile ? "Socket send aborted" : "Socket capture aborted");
    EXPECT_EQ(Packets, 1);
    EXPECT_FALSE(C.Canceled);
    EXPECT_FALSE(Got.empty());
    EXPECT_EQ(C.BytesRecvd, static_cast<std::int64_t>(Got.size()));
    EXPECT_TRUE(Body.compare(0, Got.size(), Got) == 0) << "not the start of the body";
    C.Disconnect();
  }
}

// ReadLn finds the following lines in what it peeked before; the bytes it has handed out
// are gone from the socket for every other reader, and what follows them is intact.
TEST_F(SocketTest, LinesFromOnePeekLeaveTheRestIntactForEveryReader) {
  struct Step {
    const char* Name;
    std::string Sent;
    std::function<void(TQuaywire&)> Check;
  };
  const Step Steps[] = {
      {"LinesThenACapture", "A\r\nB\nrest\r\nof it",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         EXPECT_TRUE(C.DataAvailable());
         EXPECT_EQ(C.ReadLn(), "B\n");
         std::string Rest;
         C.CaptureString(Rest, 11);  // the peer holds the connection open
         EXPECT_EQ(Rest, "rest\r\nof it");
       }},
      {"LastLineReadLeavesNothing", "A\r\nB\r\n",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         EXPECT_EQ(C.ReadLn(), "B\r\n");
         EXPECT_FALSE(C.DataAvailable());
       }},
      {"CancelBeforeALookedAheadLine", "A\r\nB\r\nC",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         C.Cancel();
         EXPECT_EQ(ErrorOf([&] { C.ReadLn(); }), "Socket readln aborted");
         EXPECT_FALSE(C.Canceled);
         EXPECT_EQ(C.ReadLn(), "B\r\n");  // the line was not taken
         std::string Rest;
         C.CaptureString(Rest, 1);
         EXPECT_EQ(Rest, "C");
       }},
      {"CaptureOfNothingLeavesTheNextLine", "A\r\nB\r\nC",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         std::string Nothing = "x";
         C.CaptureString(Nothing, 0);
         EXPECT_EQ(Nothing, "");
         EXPECT_EQ(C.ReadLn(), "B\r\n");
         EXPECT_TRUE(C.DataAvailable());
       }},
      // A bounded capture takes the lines handed out and its bytes in one receive (a second
      // one fails here), whether its bound is below or above what the lines hold, and leaves
      // the next reply in the socket.
      {"BoundedCaptureAfterLinesInOneReceive", "A\r\nB\r\nbodyNEXT\r\n",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         EXPECT_EQ(C.ReadLn(), "B\r\n");
         std::string Body;
         win::SetSocketFault(win::SocketCall::Recv, 2, win::WSAENETDOWN);
         C.CaptureStringAtMost(Body, 4);
         win::ClearSocketFaults();
         EXPECT_EQ(Body, "body");
         EXPECT_EQ(C.ReadLn(), "NEXT\r\n");
       }},
      {"BoundBelowTheLinesInOneReceive", "A longer first line\r\nxyNEXT\r\n",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A longer first line\r\n");
         std::string Body;
         win::SetSocketFault(win::SocketCall::Recv, 2, win::WSAENETDOWN);
         C.CaptureStringAtMost(Body, 2);
         win::ClearSocketFaults();
         EXPECT_EQ(Body, "xy");
         EXPECT_EQ(C.ReadLn(), "NEXT\r\n");
       }},
      {"PartialLineCompletedLater", "A\r\nB",
       [](TQuaywire& C) {
         EXPECT_EQ(C.ReadLn(), "A\r\n");
         EXPECT_EQ(C.ReadLn(), "B and C\r\n");
       }},
  };
  for (const Step& S : Steps) {
    SCOPED_TRACE(S.Name);
    const bool Later = std::string(S.Name) == "PartialLineCompletedLater";
    Gate Read;
    LoopbackPeer Peer([&](int Fd) {
      SendAll(Fd, S.Sent);
      if (Later) {
        Read.Wait();
        SendAll(Fd, " and C\r\n");
      }
      HoldOpen(Fd);
    });
    auto& C = Make(0);
    C.TimeOut = 10000;
    ConnectTo(Peer.Port());
    // Everything sent is there before the first ReadLn, so that one peek sees it all.
    ASSERT_TRUE(PumpUntil([&] {
      win::DWORD N = 0;
      return win::ioctlsocket(C.SocketHandle, FIONREAD, &N) == 0 && N == S.Sent.size();
    }));
    try {
      if (Later) {
        EXPECT_EQ(C.ReadLn(), "A\r\n");
        Read.Open();
        EXPECT_EQ(C.ReadLn(), "B and C\r\n");
      } else {
        S.Check(C);
      }
    } catch (const std::exception& E) {
      ADD_FAILURE() << E.what() << " after " << C.BytesRecvd << " bytes";
    }
    win::ClearSocketFaults();
    Read.Open();
    C.Disconnect();
  }
}

// Calls that find their data waiting set no system timer; TimerOn itself, and a wait, do,
// and the time-out still counts from the call's start.
TEST_F(SocketTest, TimeOutSetsTheSystemTimerOnlyWhenItCanFire) {
  LoopbackPeer Peer([](int Fd) {
    SendAll(Fd, "line\r\n");
    HoldOpen(Fd);
  });
  auto& C = Make(0);
  C.TimeOut = 150;
  ConnectTo(Peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return C.DataAvailable(); }));
  std::size_t TimersDuringStatus = 99;
  C.ReportLevel = 8;
  C.OnStatus = [&](TObject*, const std::string& S) {
    if (S == "Timer Off") TimersDuringStatus = win::GetQueueStats().Timers;
  };
  EXPECT_EQ(C.ReadLn(), "line\r\n");
  EXPECT_EQ(TimersDuringStatus, Baseline.Timers) << "a ReadLn that did not wait set a timer";

  // Nothing more comes: the wait sets the timer and the time-out ends it.
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { C.ReadLn(); }), "Socket readln aborted");
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 140ms);
  EXPECT_TRUE(C.TimedOut);

  // The public TimerOn sets the system timer at once, for a caller's own loop.
  C.OnStatus = nullptr;
  C.TimerOn();
  EXPECT_EQ(win::GetQueueStats().Timers, Baseline.Timers + 1);
  EXPECT_TRUE(PumpUntil([&] { return C.TimedOut; }));
  C.TimerOff();
  EXPECT_EQ(win::GetQueueStats().Timers, Baseline.Timers);
}

// After the peer's close has replaced the socket, Disconnect keeps that unused one but
// still reports and tells the close; a socket a derived component bound is replaced.
TEST_F(SocketTest, DisconnectKeepsOnlyASocketNothingHasUsed) {
  LoopbackPeer Peer([](int) {});
  auto& C = Make(4);
  ConnectTo(Peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return !C.Connected; }));  // the peer's close
  // A mark only this socket carries (a new one would reuse its number).
  const int On = 1;
  ASSERT_EQ(::setsockopt(C.SocketHandle, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On), 0);
  Log.clear();
  C.Disconnect();
  EXPECT_EQ(Log, (Lines{"Request Close Socket", "(OnDisconnect)"}));
  int Mark = 0;
  socklen_t MarkLength = sizeof Mark;
  ASSERT_EQ(::getsockopt(C.SocketHandle, SOL_SOCKET, SO_KEEPALIVE, &Mark, &MarkLength), 0);
  EXPECT_EQ(Mark, 1) << "the unused socket was replaced";
  EXPECT_EQ(win::GetQueueStats().Sockets, Baseline.Sockets + 1);

  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(win::bind(C.SocketHandle, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(win::listen(C.SocketHandle, 1), 0);
  C.Disconnect();
  sockaddr_in Local{};
  int Length = sizeof Local;
  ASSERT_EQ(win::getsockname(C.SocketHandle, reinterpret_cast<sockaddr*>(&Local), &Length), 0);
  EXPECT_EQ(Local.sin_port, 0) << "the listening socket was kept";
  EXPECT_EQ(win::GetQueueStats().Sockets, Baseline.Sockets + 1);
}

}  // namespace
