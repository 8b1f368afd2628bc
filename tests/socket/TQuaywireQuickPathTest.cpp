// The cheap paths of a request: a header sent with "more follows", and lines ReadLn finds in
// what it peeked before. Both must leave everything as the plain paths do.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/socket/SocketFixture.h"

using namespace testsupport;

namespace {

class TMoreQuaywire : public TQuaywire {
 public:
  using TQuaywire::TQuaywire;
  using TQuaywire::ReadLnInto;
  using TQuaywire::WriteMore;
  bool MoreFollows() const { return FMoreFollows; }
};

enum class TTail { EmptyLine, Body, File };

}  // namespace

TEST_F(SocketTest, HeaderWithMoreFollowingArrivesWholeAndIsNotHeldBack) {
  // The reply is read under a time-out: a last send left with the hint would wait for
  // more that never comes, and the peer would never answer.
  const std::string Head = "POST /x HTTP/1.0\r\nContent-Length: 5\r\n";
  const std::string Body = "hello";
  char Dir[] = "/tmp/orrery-test-XXXXXX";
  ASSERT_NE(mkdtemp(Dir), nullptr);
  const std::string FileName = std::string(Dir) + "/body";
  std::ofstream(FileName, std::ios::binary) << Body;
  struct TCase {
    TTail Tail;
    std::string Expected;
  };
  const TCase Cases[] = {{TTail::EmptyLine, Head + "\r\n"},
                         {TTail::Body, Head + "\r\n" + Body},
                         {TTail::File, Head + "\r\n" + Body}};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(static_cast<int>(Case.Tail));
    std::string Received;
    LoopbackPeer Peer([&](int Fd) {
      Received = RecvExactly(Fd, Case.Expected.size());
      SendAll(Fd, "done\r\n");
      HoldOpen(Fd);
    });
    auto& C = Make<TMoreQuaywire>();
    C.TimeOut = 5000;
    ConnectTo(Peer.Port());
    Log.clear();
    C.WriteMore(Head);
    EXPECT_EQ(Log, (Lines{"Write", "Sending Buffer", "Timer On", "Timer Off"}));
    EXPECT_FALSE(C.MoreFollows());
    C.Writeln("");
    if (Case.Tail == TTail::Body)
      C.SendBuffer(Body.data(), static_cast<std::uint16_t>(Body.size()));
    if (Case.Tail == TTail::File) C.SendFile(FileName);
    EXPECT_EQ(C.ReadLn(), "done\r\n");
    EXPECT_FALSE(C.TimedOut);
    EXPECT_EQ(Received, Case.Expected);
    C.Disconnect();
    ASSERT_TRUE(Peer.Finished.Wait());
  }
  std::remove(FileName.c_str());
  ::rmdir(Dir);
}

TEST_F(SocketTest, CanceledOrFailedWriteMoreLeavesNoHint) {
  std::string Received;
  LoopbackPeer Peer([&](int Fd) { Received = RecvExactly(Fd, 7); });
  auto& C = Make<TMoreQuaywire>();
  ConnectTo(Peer.Port());
  C.Canceled = true;
  EXPECT_THROW(C.WriteMore("lost"), EAbortError);
  EXPECT_FALSE(C.MoreFollows());
  C.OnStatus = [](TObject*, const std::string& S) {
    if (S == "Sending Buffer") throw ESockError("refused");  // a handler's error is swallowed
  };
  C.TimeOut = -1;
  EXPECT_THROW(C.WriteMore("lost"), ERangeError);
  EXPECT_FALSE(C.MoreFollows());
  C.TimeOut = 5000;
  C.Writeln("hello");
  ASSERT_TRUE(Peer.Finished.Wait());
  EXPECT_EQ(Received, "hello\r\n");
}

TEST_F(SocketTest, LinesFromTheLookAheadLeaveTheStateOfTheFullPath) {
  // Level, whether a status handler is set, and what LastStatus must read after a line.
  struct TCase {
    int Level;
    bool Handler;
    std::string LastStatus;
    Lines Texts;
  };
  const TCase Cases[] = {
      {8, true, "Timer Off", {"ReadLn", "Timer On", "Timer Off"}},
      {8, false, "Timer Off", {}},
      {4, false, "marker", {}},
      {1, true, "marker", {}},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Level * 10 + Case.Handler);
    LoopbackPeer Peer([&](int Fd) {
      SendAll(Fd, "L1\r\nL2\r\nL3\r\nL4\r\n");  // one segment: one peek holds them all
      HoldOpen(Fd);
    });
    auto& C = Make(Case.Level);
    if (!Case.Handler) C.OnStatus = nullptr;
    C.TimeOut = 5000;
    ConnectTo(Peer.Port());
    EXPECT_EQ(C.ReadLn(), "L1\r\n");
    // A time-out the user started is stopped and a stale TimedOut cleared, as always.
    C.TimerOn();
    C.TimedOut = true;
    C.LastStatus = "marker";
    Log.clear();
    EXPECT_EQ(C.ReadLn(), "L2\r\n");
    EXPECT_EQ(C.LastStatus, Case.LastStatus);
    EXPECT_EQ(Log, Case.Texts);
    EXPECT_FALSE(C.Timer->Enabled());
    EXPECT_FALSE(C.TimedOut);
    // A cancel made before ends the call and leaves the line unread; so does a bad time-out.
    C.Canceled = true;
    EXPECT_THROW(C.ReadLn(), EAbortError);
    EXPECT_FALSE(C.Canceled);
    C.TimeOut = -1;
    EXPECT_THROW(C.ReadLn(), ERangeError);
    C.TimeOut = 5000;
    EXPECT_EQ(C.ReadLn(), "L3\r\n");
    EXPECT_EQ(C.ReadLn(), "L4\r\n");  // the last one gives the peeked bytes up
    EXPECT_FALSE(C.DataAvailable());
    C.Disconnect();
    ASSERT_TRUE(Peer.Finished.Wait());
  }
}

TEST_F(SocketTest, ReadLnIntoOneBufferGivesEachLineAloneOnEveryPath) {
  // The buffer keeps the room of the line before: no byte of it may show in the next one,
  // whichever path the next one takes (a peek, the look-ahead, a line over two segments)
  // nor in the empty text of the end.
  const std::string LongLine = std::string(300, 'x') + "\r\n";
  for (const int Level : {1, 8}) {
    SCOPED_TRACE(Level);
    Gate Rest;
    LoopbackPeer Peer([&](int Fd) {
      SendAll(Fd, LongLine + "ab\r\nc\n");
      Rest.Wait();
      SendAll(Fd, "half ");
      SendAll(Fd, "line\r\n");
    });
    auto& C = Make<TMoreQuaywire>(Level);
    C.TimeOut = 5000;
    ConnectTo(Peer.Port());
    std::string Line = "left over from before";
    std::vector<std::string> Got;
    for (int I = 0; I < 3; ++I) {
      C.ReadLnInto(Line);
      Got.push_back(Line);
    }
    Rest.Open();
    C.ReadLnInto(Line);
    Got.push_back(Line);
    ASSERT_TRUE(Peer.Finished.Wait());
    C.ReadLnInto(Line);  // the peer has closed
    Got.push_back(Line);
    EXPECT_EQ(Got, (Lines{LongLine, "ab\r\n", "c\n", "half line\r\n", ""}));
  }
}
