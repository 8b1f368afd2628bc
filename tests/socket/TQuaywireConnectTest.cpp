// Connecting: resolution, the time-out, failures, and the exact order of status texts.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/FaultSeam.h"
#include "platform/InetText.h"
#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Resolves the names it knows to 127.0.0.1 and fails the rest with "host not found".
struct FakeDns {
  std::atomic<int> Calls{0};
  win::Resolver Install(std::vector<std::string> Known) {
    return [this, Known](const std::string& Name, std::vector<std::uint32_t>& Addrs,
                         std::string& Canonical) {
      ++Calls;
      for (const auto& K : Known)
        if (K == Name) {
          Addrs.push_back(htonl(INADDR_LOOPBACK));
          Canonical = Name;
          return 0;
        }
      return win::WSAHOST_NOT_FOUND;
    };
  }
};

// A resolver that does not answer until released (or 10 s pass). Its state is shared with
// the worker threads, which may outlive the test.
struct StuckDns {
  struct State {
    std::mutex M;
    std::condition_variable C;
    bool Released = false;
  };
  std::shared_ptr<State> S = std::make_shared<State>();
  ~StuckDns() { Release(); }
  void Release() {
    std::lock_guard<std::mutex> L(S->M);
    S->Released = true;
    S->C.notify_all();
  }
  win::Resolver Install() {
    return [S = S](const std::string&, std::vector<std::uint32_t>&, std::string&) {
      std::unique_lock<std::mutex> L(S->M);
      S->C.wait_for(L, 10s, [&] { return S->Released; });
      return win::WSATRY_AGAIN;
    };
  }
};

}  // namespace

TEST_F(SocketTest, ConnectByHostNameReportsEveryStageInOrder) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({"peer.test"}));
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.TimeOut = 5000;
  C.Host = "peer.test";
  C.Port = Peer.Port();
  C.Connect();
  EXPECT_TRUE(C.Connected);
  EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "Timer Off", "(OnHostResolved)",
                        "Timer On", "(OnConnect)", "Timer Off"}));
  EXPECT_EQ(C.RemoteAddress.Ipv4.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(SocketTest, ConnectByDottedAddressSkipsTheLookUp) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({}));
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  ConnectTo(Peer.Port());
  EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "(OnConnect)", "Timer Off"}));
  EXPECT_EQ(Dns.Calls, 0);
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Already connected");
}

TEST_F(SocketTest, PeerClosingRightAfterAcceptingStillEndsTheConnectWait) {
  // The connect and the close notifications arrive in one pump; the wait must not miss
  // that the connection was made, or it would wait for the time-out (or for ever).
  LoopbackPeer Peer([](int) {}, 20);
  auto& C = Make();
  C.TimeOut = 5000;
  for (int I = 0; I < 20; ++I) {
    ASSERT_EQ(ErrorOf([&] { ConnectTo(Peer.Port()); }), "");
    ASSERT_TRUE(PumpUntil([&] { return !C.Connected; }));
  }
}

TEST_F(SocketTest, RefusedConnectionFailsAfterTheNotification) {
  auto& C = Make();
  EXPECT_EQ(ErrorOf([&] { ConnectTo(RefusingPort()); }), "Connection Failed");
  EXPECT_EQ(Log,
            (Lines{"Connecting", "Resolve Host", "Timer On", "Timer Off", "(OnConnectionFailed)"}));
  EXPECT_FALSE(C.Connected);
  EXPECT_FALSE(C.EventSucceeded);
  // The owner's Disconnect gives a fresh socket, and the component connects again.
  C.Disconnect();
  LoopbackPeer Peer(HoldOpen);
  ConnectTo(Peer.Port());
  EXPECT_TRUE(C.Connected);
}

TEST_F(SocketTest, TimeOutWhileConnecting) {
  win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
  auto& C = Make();
  C.TimeOut = 100;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(RefusingPort()); }), "Connection Timed out");
  EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "Timer Triggered", "Timer Off",
                        "Abort", "Canceling", "Timer Off", "(OnConnectionFailed)"}));
  EXPECT_TRUE(C.TimedOut);
  EXPECT_TRUE(C.Canceled);  // until the next Connect
  C.Disconnect();
  win::SetConnectFilter(nullptr);
  LoopbackPeer Peer(HoldOpen);
  ConnectTo(Peer.Port());
  EXPECT_FALSE(C.Canceled);
}

TEST_F(SocketTest, TimeOutDuringTheLookUp) {
  StuckDns Dns;
  win::SetResolver(Dns.Install());
  auto& C = Make();
  C.TimeOut = 100;
  int InvalidHostAsked = 0;
  C.OnInvalidHost = [&](bool&) { ++InvalidHostAsked; };
  C.Host = "slow.test";
  C.Port = 80;
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Host Lookup Timed Out");
  EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "Timer Triggered", "Timer Off",
                        "Abort", "Canceling", "Timer Off"}));
  EXPECT_EQ(InvalidHostAsked, 0);
}

TEST_F(SocketTest, CancelDuringTheLookUp) {
  StuckDns Dns;
  win::SetResolver(Dns.Install());
  auto& C = Make();
  int InvalidHostAsked = 0;
  C.OnInvalidHost = [&](bool&) { ++InvalidHostAsked; };
  C.Host = "slow.test";
  TThreadTimer Trigger(nullptr);
  Trigger.SetInterval(30);
  Trigger.SetOnTimer([&](TObject*) {
    Trigger.SetEnabled(false);
    C.Cancel();
  });
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Host Lookup Canceled");
  EXPECT_EQ(InvalidHostAsked, 0);
  EXPECT_FALSE(C.TimedOut);
}

TEST_F(SocketTest, LateReplyOfAnAbandonedLookUpIsIgnored) {
  // The first look-up times out; its failure arrives while a second one is running and must
  // not decide the second one's outcome.
  StuckDns Slow;
  win::SetResolver(
      [Slow = Slow.S](const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string&) {
        if (Name == "slow.test") {
          std::unique_lock<std::mutex> L(Slow->M);
          Slow->C.wait_for(L, 10s, [&] { return Slow->Released; });
          return win::WSAHOST_NOT_FOUND;
        }
        {
          std::lock_guard<std::mutex> L(Slow->M);
          Slow->Released = true;
          Slow->C.notify_all();
        }
        std::this_thread::sleep_for(100ms);  // let the stale failure be delivered first
        Addrs.push_back(htonl(INADDR_LOOPBACK));
        return 0;
      });
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.TimeOut = 100;
  C.Host = "slow.test";
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Host Lookup Timed Out");
  C.TimeOut = 5000;
  C.Host = "fast.test";
  C.Port = Peer.Port();
  C.Connect();
  EXPECT_TRUE(C.Connected);
}

TEST_F(SocketTest, UnresolvableHostWithoutInvalidHostHandler) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({}));
  auto& C = Make();
  C.Host = "nowhere.test";
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Null Remote Address");
  EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "Timer Off"}));
}

TEST_F(SocketTest, InvalidHostHandlerIsAskedOnceAndTheLookUpRetriedOnce) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({"good.test"}));
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.Port = Peer.Port();

  // The handler mends the host: the retry connects.
  int Asked = 0;
  C.Host = "bad.test";
  C.OnInvalidHost = [&](bool& Handled) {
    ++Asked;
    C.Host = "good.test";
    Handled = true;
  };
  C.Connect();
  EXPECT_TRUE(C.Connected);
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Dns.Calls, 2);
  C.Disconnect();

  // The handler claims to have handled it but the host stays bad: one retry, no second ask.
  Asked = 0;
  Dns.Calls = 0;
  C.Host = "bad.test";
  C.OnInvalidHost = [&](bool& Handled) {
    ++Asked;
    Handled = true;
  };
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Null Remote Address");
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Dns.Calls, 2);

  // A handler that leaves Handled false ends it at once.
  Asked = 0;
  Dns.Calls = 0;
  C.OnInvalidHost = [&](bool&) { ++Asked; };
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Null Remote Address");
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Dns.Calls, 1);
}

TEST_F(SocketTest, EmptyHostHasNoAddressAndNoLookUp) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({}));
  auto& C = Make();
  int Asked = 0;
  C.OnInvalidHost = [&](bool&) { ++Asked; };
  EXPECT_EQ(ErrorOf([&] { C.Connect(); }), "Null Remote Address");
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Dns.Calls, 0);
}

TEST_F(SocketTest, ProxyTakesPrecedenceOverHostAndPort) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({}));
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.Host = "origin.test";
  C.Port = RefusingPort();
  C.Proxy = "127.0.0.1";
  C.ProxyPort = Peer.Port();
  C.Connect();
  EXPECT_TRUE(C.Connected);
  EXPECT_EQ(Dns.Calls, 0);
  EXPECT_EQ(ntohs(C.RemoteAddress.Ipv4.sin_port), Peer.Port());
}

TEST_F(SocketTest, CancelDuringTheConnectWait) {
  win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
  auto& C = Make();
  C.TimeOut = 0;  // only the cancel can end this wait
  // The cancel arrives as a message while Connect waits, as a user's click would.
  TThreadTimer Trigger(nullptr);
  Trigger.SetInterval(50);
  Trigger.SetOnTimer([&](TObject*) {
    Trigger.SetEnabled(false);
    C.Cancel();
  });
  EXPECT_EQ(ErrorOf([&] { ConnectTo(RefusingPort()); }), "Connection Canceled");
  EXPECT_FALSE(C.TimedOut);
  EXPECT_EQ(Log.back(), "(OnConnectionFailed)");
}

TEST_F(SocketTest, ReentrantConnectIsRefusedWithoutDisturbingTheRunningWait) {
  FakeDns Dns;
  win::SetResolver(Dns.Install({"peer.test"}));
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.Host = "peer.test";
  C.Port = Peer.Port();
  std::string Inner;
  C.OnHostResolved = [&](TObject*) { Inner = ErrorOf([&] { C.Connect(); }); };
  C.Connect();
  EXPECT_TRUE(C.Connected);
  EXPECT_NE(Inner.find("still waiting"), std::string::npos) << Inner;
}

TEST_F(SocketTest, ComponentDestroyedInsideItsOwnWaitUnwindsSafely) {
  win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
  Make();
  TQuaywire* Raw = Q.release();
  TThreadTimer Killer(nullptr);
  Killer.SetInterval(30);
  Killer.SetOnTimer([&](TObject*) {
    Killer.SetEnabled(false);
    Raw->Free();  // as when the window that owns it closes during a request
  });
  Raw->Host = "127.0.0.1";
  Raw->Port = RefusingPort();
  Raw->TimeOut = 5000;
  EXPECT_THROW(Raw->Connect(), EComponentDestroyed);
}

TEST_F(SocketTest, ReportLevelFiltersStatusTexts) {
  LoopbackPeer Peer(HoldOpen, 2);
  auto& C = Make(0);
  C.LastStatus = "untouched";
  ConnectTo(Peer.Port());
  C.Disconnect();
  EXPECT_EQ(Log, (Lines{"(OnConnect)", "(OnDisconnect)"}));
  EXPECT_EQ(C.LastStatus, "untouched");

  C.ReportLevel = 4;
  Log.clear();
  ConnectTo(Peer.Port());
  C.Disconnect();
  EXPECT_EQ(Log, (Lines{"(OnConnect)", "Request Close Socket", "(OnDisconnect)"}));
}

TEST_F(SocketTest, ExceptionsFromHandlersAreSwallowedWhereTheComponentReports) {
  LoopbackPeer Peer(HoldOpen);
  auto& C = Make();
  C.OnStatus = [](TObject*, const std::string&) { throw std::runtime_error("status"); };
  C.OnConnect = [](TObject*) { throw std::runtime_error("connect"); };
  ConnectTo(Peer.Port());
  EXPECT_TRUE(C.Connected);
  EXPECT_EQ(C.LastStatus, "Timer Off");
}

TEST_F(SocketTest, ConnectAfterAFailedConnectWorksAtOnce) {
  enum class Failure { Refused, TimedOut, Canceled };
  struct Row {
    Failure How;
    const char* Error;
  };
  for (const Row& R :
       {Row{Failure::Refused, "Connection Failed"}, Row{Failure::TimedOut, "Connection Timed out"},
        Row{Failure::Canceled, "Connection Canceled"}}) {
    SCOPED_TRACE(R.Error);
    const std::uint16_t Dead = RefusingPort();
    if (R.How != Failure::Refused) {
      win::SetConnectFilter([Dead](const sockaddr_in& A) {
        return ntohs(A.sin_port) == Dead ? win::ConnectVerdict::Hang : win::ConnectVerdict::Proceed;
      });
    }
    LoopbackPeer Peer(HoldOpen);
    auto& C = Make();
    C.TimeOut = R.How == Failure::TimedOut ? 100 : 5000;
    std::optional<Later> Cancel;
    if (R.How == Failure::Canceled) Cancel.emplace(30ms, [&] { C.Cancel(); });
    EXPECT_EQ(ErrorOf([&] { ConnectTo(Dead); }), R.Error);
    // No Disconnect in between: the next Connect starts afresh.
    Log.clear();
    C.TimeOut = 5000;
    EXPECT_EQ(ErrorOf([&] { ConnectTo(Peer.Port()); }), "");
    EXPECT_TRUE(C.Connected);
    EXPECT_EQ(Log, (Lines{"Connecting", "Resolve Host", "Timer On", "(OnConnect)", "Timer Off"}));
    EXPECT_EQ(win::GetQueueStats().Sockets, Baseline.Sockets + 1);
    win::SetConnectFilter(nullptr);
  }
}

TEST_F(SocketTest, ConnectionCompletingAfterTheTimeOutIsDropped) {
  // A listener whose accept queue is full drops the SYN, and the kernel sends it again a
  // second later: long after the component's time-out.
  const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof A;
  ASSERT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(::listen(Listener, 0), 0);
  ASSERT_EQ(::getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &Length), 0);
  const int Filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(Filler, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);

  auto& C = Make();
  C.TimeOut = 200;
  EXPECT_EQ(ErrorOf([&] { ConnectTo(ntohs(A.sin_port)); }), "Connection Timed out");
  const int Taken = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);  // room again
  EXPECT_GE(Taken, 0);
  Log.clear();
  PumpFor(1500ms);  // past the SYN's first retry
  EXPECT_FALSE(C.Connected);
  EXPECT_EQ(Log, Lines{}) << "a late connection reached the component";
  pollfd P{Listener, POLLIN, 0};
  EXPECT_EQ(::poll(&P, 1, 0), 0) << "the abandoned attempt still connected";
  ::close(Taken);
  ::close(Filler);
  ::close(Listener);
}

// A reconnect from OnDisconnect keeps its connection: the close it runs inside opens no
// socket over it, and nothing leaks, round after round.
TEST_F(SocketTest, ReconnectFromOnDisconnectKeepsTheNewConnectionAndLeaksNothing) {
  enum class Close { ByOwner, ByPeer };
  for (Close By : {Close::ByOwner, Close::ByPeer}) {
    SCOPED_TRACE(By == Close::ByOwner ? "the owner's Disconnect" : "the peer's close");
    constexpr int Rounds = 5;
    LoopbackPeer Peer(
        [By](int Fd) {
          SendAll(Fd, "hello\r\n");
          if (By == Close::ByPeer)
            RecvExactly(Fd, 5);  // "bye" and its line end, then the peer closes
          else
            HoldOpen(Fd);
        },
        Rounds + 1);
    auto& C = Make();
    C.TimeOut = 5000;
    int Reconnects = 0;
    C.OnDisconnect = [&](TObject*) {
      if (Reconnects < Rounds) {
        ++Reconnects;
        C.Connect();
      }
    };
    ConnectTo(Peer.Port());
    for (int I = 1; I <= Rounds; ++I) {
      ASSERT_EQ(C.ReadLn(), "hello\r\n");
      if (By == Close::ByOwner) {
        C.Disconnect();
      } else {
        C.Writeln("bye");
        ASSERT_TRUE(PumpUntil([&] { return Reconnects == I; }));
      }
      EXPECT_TRUE(C.Connected);
      EXPECT_EQ(win::GetQueueStats().Sockets, Baseline.Sockets + 1) << "round " << I;
    }
    EXPECT_EQ(C.ReadLn(), "hello\r\n");  // the last connection is the component's own
    EXPECT_EQ(Peer.Accepted(), Rounds + 1);
    C.OnDisconnect = nullptr;
    C.Disconnect();
  }
}

// --- A name with addresses of both families ---------------------------------------------

namespace {

// Logs each connect attempt's start and end beside the status texts and events.
class TTryLog : public TQuaywire {
 public:
  using TQuaywire::TQuaywire;
  std::vector<std::string>* Into = nullptr;
  bool RaiseAtEnd = false;

 protected:
  bool SocketStep(TSocketStep Step, std::string_view) override {
    if (Step == ssTryEnded && RaiseAtEnd) throw std::runtime_error("observer");
    const std::string Address = win::AddressText(reinterpret_cast<const sockaddr*>(&TryAddress()),
                                                 win::SockaddrLength(TryAddress()));
    if (Step == ssTrying) Into->push_back("[try " + Address + "]");
    if (Step == ssTryEnded)
      Into->push_back("[end " + Address + " " + std::to_string(TryError()) + "]");
    return true;
  }
};

win::SOCKADDR_INET Literal(const std::string& Text) {
  win::SOCKADDR_INET A{};
  if (win::ParseInet4(Text, A.Ipv4.sin_addr))
    A.si_family = AF_INET;
  else if (win::ParseInet6(Text, A.Ipv6.sin6_addr))
    A.si_family = AF_INET6;
  return A;
}

}  // namespace

TEST_F(SocketTest, NameOfBothFamiliesIsRacedIpv6First) {
  enum TServer { Serves, Refuses, Hangs, NoSockets };
  struct Row {
    const char* Name;
    std::vector<std::string> Resolved;  // in the resolver's order
    TServer Six, Four;
    int TimeOut;  // below the stagger where an attempt must follow a refusal at once
    const char* Error;
    const char* Remote;
    Lines Tail;  // after "(OnHostResolved)"
  };
  const Row Rows[] = {
      {"both serve: the IPv6 one, alone", {"127.0.0.1", "::1"}, Serves, Serves, 5000, "", "::1",
       {"[try ::1]", "Timer On", "(OnConnect)", "Timer Off"}},
      {"IPv6 only", {"::1"}, Serves, Refuses, 5000, "", "::1",
       {"[try ::1]", "Timer On", "(OnConnect)", "Timer Off"}},
      {"IPv4 only", {"127.0.0.1"}, Refuses, Serves, 5000, "", "127.0.0.1",
       {"[try 127.0.0.1]", "Timer On", "(OnConnect)", "Timer Off"}},
      {"IPv6 black-holed: IPv4 after the stagger", {"::1", "127.0.0.1"}, Hangs, Serves, 5000, "",
       "127.0.0.1",
       {"[try ::1]", "Timer On", "[try 127.0.0.1]", "[end ::1 0]", "(OnConnect)", "Timer Off"}},
      {"IPv6 refused: IPv4 at once", {"::1", "127.0.0.1"}, Refuses, Serves, 200, "", "127.0.0.1",
       {"[try ::1]", "Timer On", "[end ::1 10061]", "[try 127.0.0.1]", "(OnConnect)",
        "Timer Off"}},
      {"no IPv6 socket to be had: IPv4 at once", {"::1", "127.0.0.1"}, NoSockets, Serves, 200, "",
       "127.0.0.1",
       {"[try ::1]", "[end ::1 10047]", "[try 127.0.0.1]", "Timer On", "(OnConnect)", "Timer Off"}},
      {"every one refused", {"::1", "127.0.0.1"}, Refuses, Refuses, 5000, "Connection Failed", "",
       {"[try ::1]", "Timer On", "[end ::1 10061]", "[try 127.0.0.1]", "[end 127.0.0.1 10061]",
        "Timer Off", "(OnConnectionFailed)"}},
      {"the time-out covers the race", {"::1", "127.0.0.1"}, Hangs, Hangs, 400,
       "Connection Timed out", "",
       {"[try ::1]", "Timer On", "[try 127.0.0.1]", "Timer Triggered", "Timer Off", "Abort",
        "Canceling", "Timer Off", "[end ::1 0]", "[end 127.0.0.1 0]", "(OnConnectionFailed)"}},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    std::optional<LoopbackPeer> Four, Six;
    if (R.Four == Serves) Four.emplace(HoldOpen, 1, 8, AF_INET);
    const std::uint16_t Port = Four ? Four->Port() : RefusingPort();
    if (R.Six == Serves) Six.emplace(HoldOpen, 1, 8, AF_INET6, Port);
    win::SetAddressConnectFilter([&R](const sockaddr_storage& A, int) {
      const bool Hang = A.ss_family == AF_INET6 ? R.Six == Hangs : R.Four == Hangs;
      return Hang ? win::ConnectVerdict::Hang : win::ConnectVerdict::Proceed;
    });
    win::SetAddrResolver([&R](const std::string&, int, std::vector<win::SOCKADDR_INET>& Addrs,
                              std::string&) {
      for (const std::string& A : R.Resolved) Addrs.push_back(Literal(A));
      return 0;
    });
    win::SetFamilyFault(AF_INET6, R.Six == NoSockets ? win::WSAEAFNOSUPPORT : 0);
    auto& C = Make<TTryLog>();
    C.Into = &Log;
    C.OnError = [&](TObject*, std::uint16_t, const std::string&) { Log.push_back("(OnError)"); };
    C.TimeOut = R.TimeOut;
    C.Host = "race.test";
    C.Port = Port;
    const auto Started = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { C.Connect(); }), R.Error);
    const auto Took = std::chrono::steady_clock::now() - Started;
    Lines Expected{"Connecting", "Resolve Host", "Timer On", "Timer Off", "(OnHostResolved)"};
    Expected.insert(Expected.end(), R.Tail.begin(), R.Tail.end());
    EXPECT_EQ(Log, Expected);
    if (*R.Error == '\0') {
      EXPECT_EQ(win::AddressText(reinterpret_cast<const sockaddr*>(&C.RemoteAddress),
                                 win::SockaddrLength(C.RemoteAddress)),
                R.Remote);
      EXPECT_EQ(C.LocalAddress().si_family, C.RemoteAddress.si_family);
      // The losers are closed: the component holds its connection's socket alone.
      EXPECT_EQ(win::GetQueueStats().Sockets, Baseline.Sockets + 1);
    }
    if (R.Six == Hangs && R.Four == Serves) {
      EXPECT_GE(Took, 240ms);
      EXPECT_LT(Took, 2500ms) << "the IPv4 attempt waited for the time-out";
    }
    if (Four && R.Six == Serves) {
      EXPECT_EQ(Four->Accepted(), 0);
    }
    Q.reset();
    win::SetConnectFilter(nullptr);
  }
}

TEST_F(SocketTest, ConnectLeftByAnErrorLeavesNoAttemptBehind) {
  struct Row {
    const char* Name;
    int TimeOut;
    bool RaiseAtEnd;
    const char* Error;
  };
  const Row Rows[] = {
      // The time-out is the watchdog: the error must come long before it.
      {"an observer raising at the end of a refused attempt", 5000, true, "Connection Failed"},
      {"a bad time-out after the attempt started", -1, false, ""},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    LoopbackPeer Peer(HoldOpen, 1, 8, AF_INET);
    auto& C = Make<TTryLog>();
    C.Into = &Log;
    C.RaiseAtEnd = R.RaiseAtEnd;
    C.TimeOut = R.TimeOut;
    EXPECT_EQ(ErrorOf([&] {
                try {
                  ConnectTo(R.RaiseAtEnd ? RefusingPort() : Peer.Port());
                } catch (const ERangeError&) {
                }
              }),
              R.Error);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "Timer Triggered"), 0);
    PumpFor(300ms);
    EXPECT_FALSE(C.Connected) << "an attempt connected after Connect was left";
    Q.reset();
  }
}
