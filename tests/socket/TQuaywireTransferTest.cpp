// Data transfer over a connected component: lines, transactions, texts, files, captures.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/socket/SocketFixture.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::string& Name) {
  std::ifstream F(Name, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

std::string RandomBytes(std::size_t Count, unsigned Seed) {
  std::mt19937 Gen(Seed);
  std::string S(Count, '\0');
  for (auto& C : S) C = static_cast<char>(Gen() & 0xFF);
  return S;
}

// A file in a fresh temporary folder, removed with it.
class TempFile {
 public:
  TempFile() {
    char Dir[] = "/tmp/orrery-test-XXXXXX";
    FDir = mkdtemp(Dir);
    FName = FDir + "/file";
  }
  ~TempFile() {
    std::remove(FName.c_str());
    ::rmdir(FDir.c_str());
  }
  const std::string& Name() const { return FName; }
  void Fill(const std::string& Data) const { std::ofstream(FName, std::ios::binary) << Data; }

 private:
  std::string FDir, FName;
};

}  // namespace

TEST_F(SocketTest, ReadLnSplitsJoinsAndKeepsLineEnds) {
  Gate Second;
  LoopbackPeer Peer([&](int Fd) {
    SendAll(Fd, "A\r\nB\r\n");  // two lines in one segment
    SendAll(Fd, "split ");
    std::this_thread::sleep_for(20ms);
    SendAll(Fd, "over segments\r\n");
    SendAll(Fd, "lone\r");
    Second.Wait();
    SendAll(Fd, "\n");
    SendAll(Fd, "no line end");
  });
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  Log.clear();
  EXPECT_EQ(C.ReadLn(), "A\r\n");
  EXPECT_EQ(Log, (Lines{"ReadLn", "Timer On", "Timer Off"}));
  EXPECT_EQ(C.ReadLn(), "B\r\n");
  EXPECT_EQ(C.ReadLn(), "split over segments\r\n");
  // A CR alone ends nothing: the line waits for its LF.
  TThreadTimer Release(nullptr);
  Release.SetInterval(50);
  Release.SetOnTimer([&](TObject*) {
    Release.SetEnabled(false);
    Second.Open();
  });
  EXPECT_EQ(C.ReadLn(), "lone\r\n");
  // A last line without LF is lost when the peer closes.
  EXPECT_EQ(C.ReadLn(), "");
  EXPECT_FALSE(C.Connected);
}

TEST_F(SocketTest, ReadLnTimeOutAbortsAndTellsTimeOutFromCancel) {
  Gate Done;
  LoopbackPeer Peer([&](int) { Done.Wait(); });
  auto& C = Make();
  C.TimeOut = 200;
  ConnectTo(Peer.Port());
  Log.clear();
  try {
    C.ReadLn();
    ADD_FAILURE() << "no time-out";
  } catch (const EAbortError& E) {
    EXPECT_STREQ(E.what(), "Socket readln aborted");
  }
  EXPECT_TRUE(C.TimedOut);
  EXPECT_FALSE(C.Canceled);
  EXPECT_EQ(Log, (Lines{"ReadLn", "Timer On", "Timer Triggered", "Timer Off", "Abort", "Canceling",
                        "Timer Off"}));
  Done.Open();
}

TEST_F(SocketTest, ReadLnRejectsALineLongerThanTheBuffer) {
  LoopbackPeer Peer([](int Fd) { SendAll(Fd, std::string(70000, 'x') + "\n"); });
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  // A class of its own, so that a protocol can name the fault; the text is the layer's.
  std::string Error;
  try {
    C.ReadLn();
  } catch (const ELineTooLong& E) {
    Error = E.what();
  }
  EXPECT_EQ(Error, "Line too long: no line end within 65536 bytes");
  EXPECT_EQ(C.IOBuffer[IOBufferData], '\0');  // nothing written past the data bytes
}

TEST_F(SocketTest, TransactionTakesTheLeadingReplyNumber) {
  struct Row {
    std::string Reply;
    std::int16_t Number;
  };
  const std::vector<Row> Rows = {
      {"220 ready\r\n", 220},      {"250\r\n", 250}, {"abc 1\r\n", 0}, {"99999 too big\r\n", 0},
      {"12345678901 long\r\n", 0}, {"-5 no\r\n", 0}};
  std::string Received;
  LoopbackPeer Peer([&](int Fd) {
    for (const auto& R : Rows) {
      Received += RecvExactly(Fd, 6);
      SendAll(Fd, R.Reply);
    }
    Received += RecvExactly(Fd, 6);  // then close without a reply
  });
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  for (const auto& R : Rows) {
    Log.clear();
    EXPECT_EQ(C.Transaction("NOOP"), R.Reply);
    EXPECT_EQ(C.TransactionReply, R.Reply);
    EXPECT_EQ(C.ReplyNumber, R.Number) << R.Reply;
    EXPECT_EQ(Log, (Lines{"Transaction", "Writeln", "Write", "Sending Buffer", "Timer On",
                          "Timer Off", "ReadLn", "Timer On", "Timer Off", R.Reply}));
  }
  // The peer has closed: an empty reply leaves the number at 0.
  C.ReplyNumber = 7;
  EXPECT_EQ(C.Transaction("QUIT"), "");
  EXPECT_EQ(C.ReplyNumber, 0);
  EXPECT_TRUE(Peer.Finished.Wait());
  std::string Expected;
  for (std::size_t I = 0; I < Rows.size(); ++I) Expected += "NOOP\r\n";
  EXPECT_EQ(Received, Expected + "QUIT\r\n");
}

TEST_F(SocketTest, WriteSendsUpToNulAndLongTextsWhole) {
  // Closing resets the connection (lingering is off), so the peer reads what it expects
  // before the component lets go.
  std::string Received;
  const std::size_t Expected = 2 + 6 + 200000;
  LoopbackPeer Peer([&](int Fd) { Received = RecvExactly(Fd, Expected); });
  auto& C = Make();
  ConnectTo(Peer.Port());
  Log.clear();
  C.Writeln("");
  EXPECT_EQ(Log, (Lines{"Writeln", "Write", "Sending Buffer", "Timer On", "Timer Off"}));
  C.Write(std::string("before\0after", 12));
  const std::string Long = RandomBytes(200000, 1);
  std::string LongNoNul = Long;
  for (auto& Ch : LongNoNul)
    if (Ch == '\0') Ch = 'z';
  C.Write(LongNoNul);
  ASSERT_TRUE(Peer.Finished.Wait());
  EXPECT_TRUE(Received == "\r\nbefore" + LongNoNul) << "received " << Received.size() << " bytes";
}

TEST_F(SocketTest, CaptureStringStopsAtMaxLengthAfterAWholeBlock) {
  LoopbackPeer Peer([](int Fd) {
    SendAll(Fd, std::string(100, 'a'));
    RecvAll(Fd);
  });
  auto& C = Make();
  C.TimeOut = 5000;
  int Packets = 0;
  C.OnPacketRecvd = [&](TObject*) { ++Packets; };
  ConnectTo(Peer.Port());
  // Wait until the block is there, so that it arrives in one receive.
  ASSERT_TRUE(PumpUntil([&] { return C.DataAvailable(); }));
  PumpFor(20ms);
  std::string Text;
  C.CaptureString(Text, 10);
  EXPECT_EQ(Text, std::string(100, 'a'));
  EXPECT_EQ(C.BytesRecvd, 100);
  EXPECT_EQ(Packets, 1);
  C.CaptureString(Text, 0);  // nothing wanted, nothing read
  EXPECT_EQ(Text, "");
}

TEST_F(SocketTest, CaptureStringReadsUntilThePeerCloses) {
  const std::string Body = RandomBytes(300000, 2);
  LoopbackPeer Peer([&](int Fd) { SendAll(Fd, Body); });
  auto& C = Make();
  C.TimeOut = 5000;
  int Packets = 0;
  C.OnPacketRecvd = [&](TObject*) { ++Packets; };
  ConnectTo(Peer.Port());
  std::string Text;
  C.CaptureString(Text, -1);
  EXPECT_TRUE(Text == Body) << "captured " << Text.size() << " bytes";
  EXPECT_EQ(C.BytesRecvd, 300000);
  EXPECT_GE(Packets, 5);
  EXPECT_EQ(Log.back(), "Timer Off");
}

TEST_F(SocketTest, CaptureIsEndedByItsTimeOutWhileDataKeepsFlowing) {
  std::atomic<bool> Stop{false};
  LoopbackPeer Peer([&](int Fd) {
    for (int I = 0; I < 500 && !Stop; ++I) {
      SendAll(Fd, "tick");
      std::this_thread::sleep_for(10ms);
    }
  });
  auto& C = Make();
  C.TimeOut = 300;
  ConnectTo(Peer.Port());
  std::string Text;
  const auto Start = std::chrono::steady_clock::now();
  try {
    C.CaptureString(Text, -1);
    ADD_FAILURE() << "the capture was not ended";
  } catch (const EAbortError& E) {
    EXPECT_STREQ(E.what(), "Socket capture aborted");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 3s);
  EXPECT_TRUE(C.TimedOut);
  EXPECT_FALSE(C.Canceled);
  EXPECT_FALSE(Text.empty());
  Stop = true;
}

TEST_F(SocketTest, CaptureFileOfNothingIsAnEmptyFile) {
  TempFile File;
  File.Fill("old content");
  LoopbackPeer Peer([](int) {});
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  Log.clear();
  C.CaptureFile(File.Name());
  EXPECT_EQ(ReadFile(File.Name()), "");
  EXPECT_EQ(C.BytesRecvd, 0);
  EXPECT_EQ(Log.front(), "CaptureFile");
  EXPECT_EQ(Log.back(), "Timer Off");
}

TEST_F(SocketTest, CaptureFileKeepsEveryByte) {
  TempFile File;
  const std::string Body = RandomBytes(250000, 3);
  LoopbackPeer Peer([&](int Fd) { SendAll(Fd, Body); });
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  C.CaptureFile(File.Name());
  EXPECT_TRUE(ReadFile(File.Name()) == Body);
  EXPECT_EQ(C.BytesRecvd, 250000);
}

TEST_F(SocketTest, CaptureFileIntoAnUncreatableFileDisarmsTheTimeOut) {
  LoopbackPeer Peer([](int) {});
  auto& C = Make();
  C.TimeOut = 5000;
  ConnectTo(Peer.Port());
  Log.clear();
  EXPECT_THROW(C.CaptureFile("/nonexistent-dir/x"), EStreamError);
  EXPECT_EQ(Log.back(), "Timer Off");
}

TEST_F(SocketTest, SendFileInBlocksWithPacketEvents) {
  TempFile Empty, Big;
  Empty.Fill("");
  const std::string Body = RandomBytes(150000, 4);
  Big.Fill(Body);
  std::string Received;
  LoopbackPeer Peer([&](int Fd) { Received = RecvExactly(Fd, 150000); });
  auto& C = Make();
  int Packets = 0;
  C.OnPacketSent = [&](TObject*) { ++Packets; };
  ConnectTo(Peer.Port());
  Log.clear();
  C.SendFile(Empty.Name());
  EXPECT_EQ(Packets, 0);
  EXPECT_EQ(C.BytesSent, 0);
  EXPECT_EQ(Log, Lines{"SendFile"});
  C.SendFile(Big.Name());
  EXPECT_GE(Packets, 3);
  EXPECT_EQ(C.BytesSent, 150000);
  ASSERT_TRUE(Peer.Finished.Wait());
  EXPECT_TRUE(Received == Body) << "received " << Received.size() << " bytes";
  EXPECT_THROW(C.SendFile("/nonexistent-dir/x"), EStreamError);
}

TEST_F(SocketTest, SendBlockedByAPeerThatDoesNotReadEndsByTimeOut) {
  enum class Op { Write, SendFile };
  for (Op Send : {Op::Write, Op::SendFile}) {
    SCOPED_TRACE(Send == Op::Write ? "Write" : "SendFile");
    Gate Done;
    LoopbackPeer Peer([&](int) { Done.Wait(); });
    auto& C = Make();
    C.TimeOut = 300;
    ConnectTo(Peer.Port());
    TempFile File;
    // Far more than the socket buffers hold; sparse, so it costs no disk.
    const off_t Size = off_t{256} << 20;
    File.Fill("");
    ASSERT_EQ(::truncate(File.Name().c_str(), Size), 0);
    const std::string Chunk(65535, 'x');
    Log.clear();
    try {
      if (Send == Op::Write) {
        for (int I = 0; I < 4000; ++I) C.Write(Chunk);
      } else {
        C.SendFile(File.Name());
      }
      ADD_FAILURE() << "the send never blocked";
    } catch (const EAbortError& E) {
      EXPECT_STREQ(E.what(), "Socket send aborted");
    }
    EXPECT_TRUE(C.TimedOut);
    EXPECT_FALSE(C.Canceled);
    if (Send == Op::SendFile) {
      EXPECT_LT(C.BytesSent, Size);
      // Bounded as SendBuffer is, without reports of its own beyond those of the time-out.
      EXPECT_EQ(Log, (Lines{"SendFile", "Timer Triggered", "Timer Off", "Abort", "Canceling"}));
    }
    Done.Open();
  }
}

// A peer that sends, then resets: the running reader ends with the reset's error text,
// whether the reset was handled before the call or arrives during it, and what was
// received before it stays where it went. A send afterwards reports the reset too.
TEST_F(SocketTest, ResetEndsEveryReaderWithItsErrorAndKeepsWhatCameBefore) {
  enum class Op { ReadLn, ReadLnAfterALine, CaptureString, CaptureFile, Transaction };
  struct Row {
    const char* Name;
    Op Call;
    std::string Sent;  // by the peer before its reset
    bool ResetFirst;   // the reset is handled before the call starts
  };
  const std::vector<Row> Rows = {
      {"ReadLn, nothing waiting, reset first", Op::ReadLn, "", true},
      {"ReadLn, nothing waiting, reset during", Op::ReadLn, "", false},
      {"ReadLn, partial line, reset first", Op::ReadLn, "partial", true},
      {"ReadLn, partial line, reset during", Op::ReadLn, "partial", false},
      {"ReadLn after a whole line, reset first", Op::ReadLnAfterALine, "line\r\n", true},
      {"ReadLn after a whole line, reset during", Op::ReadLnAfterALine, "line\r\n", false},
      {"CaptureString, reset first", Op::CaptureString, RandomBytes(100000, 5), true},
      {"CaptureString, reset during", Op::CaptureString, RandomBytes(100000, 6), false},
      {"CaptureString of nothing, reset during", Op::CaptureString, "", false},
      {"CaptureFile, reset first", Op::CaptureFile, RandomBytes(100000, 7), true},
      {"CaptureFile, reset during", Op::CaptureFile, RandomBytes(100000, 8), false},
      {"Transaction, part of a reply", Op::Transaction, "220 par", false},
  };
  const std::string ResetText = "10054:Connection reset by peer";
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    Gate Reset;
    LoopbackPeer Peer([&](int Fd) {
      if (R.Call == Op::Transaction) RecvExactly(Fd, 6);
      SendAll(Fd, R.Sent);
      if (!R.ResetFirst) Reset.Wait();
      WaitUntilAcked(Fd);
      ResetOnClose(Fd);
    });
    auto& C = Make();
    C.TimeOut = 5000;  // a tripwire: every row ends long before
    int Errors = 0;
    C.OnError = [&](TObject*, std::uint16_t, const std::string&) { ++Errors; };
    ConnectTo(Peer.Port());
    if (R.ResetFirst) {
      ASSERT_TRUE(Peer.Finished.Wait());
      // The reset is in: the kernel hangs up the socket (or its replacement, which is not
      // connected), and every notification it made has been dispatched.
      ASSERT_TRUE(PumpUntil([&] {
        pollfd P{static_cast<int>(C.SocketHandle), POLLRDHUP, 0};
        return ::poll(&P, 1, 0) == 1 && (P.revents & POLLHUP) != 0 && !win::HasPending();
      }));
    }
    TempFile File;
    std::string Text = "stale";
    const Later OpenGate(30ms, [&] { Reset.Open(); });
    const std::string Error = ErrorOf([&] {
      switch (R.Call) {
        case Op::ReadLn: C.ReadLn(); break;
        case Op::ReadLnAfterALine:
          EXPECT_EQ(C.ReadLn(), R.Sent);
          C.ReadLn();
          break;
        case Op::CaptureString: C.CaptureString(Text, -1); break;
        case Op::CaptureFile: C.CaptureFile(File.Name()); break;
        case Op::Transaction: C.Transaction("NOOP"); break;
      }
    });
    EXPECT_EQ(Error, ResetText);
    EXPECT_EQ(C.LastErrorNo, win::WSAECONNRESET);
    EXPECT_EQ(Errors, 1);
    if (R.Call == Op::CaptureString) {
      EXPECT_TRUE(Text == R.Sent) << "kept " << Text.size() << " bytes";
      EXPECT_EQ(C.BytesRecvd, static_cast<std::int64_t>(R.Sent.size()));
    }
    if (R.Call == Op::CaptureFile) {
      EXPECT_TRUE(ReadFile(File.Name()) == R.Sent);
    }
    EXPECT_EQ(Log.back(), "Timer Off");
    EXPECT_EQ(ErrorOf([&] { C.Write("after"); }), ResetText);
    // The owner's Disconnect ends the matter: the fresh socket is plainly not connected.
    C.Disconnect();
    EXPECT_EQ(C.ReadLn(), "");
    EXPECT_EQ(C.LastErrorNo, win::WSAENOTCONN);
  }
}

TEST_F(SocketTest, ReceivesOnAnUnconnectedSocketEndLikeAClose) {
  auto& C = Make();
  std::string Text = "x";
  C.CaptureString(Text, -1);
  EXPECT_EQ(Text, "");
  EXPECT_EQ(C.LastErrorNo, win::WSAENOTCONN);
  EXPECT_EQ(C.ReadLn(), "");
}

TEST_F(SocketTest, AcceptTakesADataConnectionAnnouncedThroughTheLookUpMessage) {
  // As a derived component would: listen on the component's socket and release Accept's
  // wait with the look-up message when the accept notification arrives.
  auto& C = Make(4);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int Length = sizeof A;
  ASSERT_EQ(win::bind(C.SocketHandle, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(win::listen(C.SocketHandle, 1), 0);
  ASSERT_EQ(win::getsockname(C.SocketHandle, reinterpret_cast<sockaddr*>(&A), &Length), 0);
  C.OnAccept = [&](TObject*) { win::PostMessageA(C.NotifyWindow, WM_LOOKUP_DONE, 0, 0); };
  C.WaitDone = false;

  std::thread Client([Port = ntohs(A.sin_port)] {
    const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    To.sin_port = htons(Port);
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&To), sizeof To) == 0) SendAll(Fd, "data\n");
    ::close(Fd);
  });
  Log.clear();
  const std::uint16_t Data = C.Accept();
  Client.join();
  EXPECT_EQ(Log.front(), "Accepting");
  EXPECT_NE(Data, C.SocketHandle);
  EXPECT_EQ(C.RemoteAddress.Ipv4.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  char Buffer[8] = {};
  ASSERT_TRUE(PumpUntil([&] { return win::recv(Data, Buffer, sizeof Buffer, MSG_PEEK) == 5; }));
  win::closesocket(Data);

  // Canceled while waiting: "Accepting Canceled", and Canceled stays set.
  C.WaitDone = false;
  TThreadTimer Stop(nullptr);
  Stop.SetInterval(20);
  Stop.SetOnTimer([&](TObject*) {
    Stop.SetEnabled(false);
    C.Cancel();
  });
  EXPECT_EQ(ErrorOf([&] { C.Accept(); }), "Accepting Canceled");
  EXPECT_TRUE(C.Canceled);
}

namespace {

// A component that opts into the early-answer and complete-reply rules, as a request-reply
// protocol above the socket does; the plain component opts into neither.
class TAnsweredQuaywire : public TQuaywire {
 public:
  using TQuaywire::SendCutShort;
  using TQuaywire::TQuaywire;
  bool Answers = false;
  bool Complete = false;

 protected:
  bool AnswerEndsSend() override { return Answers; }
  bool ReplyComplete() const override { return Complete; }
};

}  // namespace

TEST_F(SocketTest, PeerAnswerStopsASendAndAResetAfterAWholeReplyIsNoError) {
  struct TRow {
    const char* Name;
    bool Answers;   // AnswerEndsSend's verdict
    bool Complete;  // ReplyComplete's verdict
    std::string SendError;
    bool CutShort;
    std::string CaptureError;
  };
  const std::string ResetText = "10054:Connection reset by peer";
  const TRow Rows[] = {
      {"plain socket: the reset is the send's error", false, false, ResetText, false, ""},
      {"answer waiting: the send stops, the reset ends the capture", true, false, "", true,
       ResetText},
      {"answer whole: the reset is the end of the reply", true, true, "", true, ""},
  };
  for (const TRow& R : Rows) {
    SCOPED_TRACE(R.Name);
    LoopbackPeer Peer([](int Fd) {
      char Head[16];
      ::recv(Fd, Head, sizeof Head, 0);  // some of the data, never all of it
      SendAll(Fd, "answer\r\nrest");
      WaitUntilAcked(Fd);
      ResetOnClose(Fd);
    });
    auto& C = Make<TAnsweredQuaywire>(4);
    C.Answers = R.Answers;
    C.Complete = R.Complete;
    C.TimeOut = 10000;  // tripwire
    ConnectTo(Peer.Port());
    const std::string Block(60000, 'x');
    std::string Error;
    for (int I = 0; I < 400 && Error.empty() && !C.SendCutShort(); ++I)  // 24 MB at most
      Error =
          ErrorOf([&] { C.SendBuffer(Block.data(), static_cast<std::uint16_t>(Block.size())); });
    EXPECT_EQ(Error, R.SendError);
    EXPECT_EQ(C.SendCutShort(), R.CutShort);
    if (R.CutShort) {
      EXPECT_EQ(C.ReadLn(), "answer\r\n");
      std::string Rest;
      EXPECT_EQ(ErrorOf([&] { C.CaptureString(Rest, -1); }), R.CaptureError);
      EXPECT_EQ(Rest, "rest") << "what came before the reset is kept";
    }
    C.Disconnect();
    ASSERT_TRUE(Peer.Finished.Wait());
  }
}
