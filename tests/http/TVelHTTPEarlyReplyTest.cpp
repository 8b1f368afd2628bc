// A reply is never lost to a reset: a server that answers before it has read a large body
// (413, 401) is heard, the rest of the body is not sent, and a reset that comes after a reply
// whole by its own length leaves that reply standing. A reset before then stays the error.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>

#include "tests/http/HttpFixture.h"
#include "tests/support/LoopbackPeer.h"

namespace {

using namespace testsupport;

const std::string Reset = "10054:Connection reset by peer";
constexpr std::size_t Large = 16u << 20;  // more than loopback's buffers hold: the send blocks

// How the server treats the request before and after its Reply.
enum class TServer {
  AnswerThenReset,  // reads the header block only, answers, resets (its body unread)
  AnswerThenHold,   // reads the header block only, answers, reads nothing until the close
  ReadThenReset,    // reads the whole request, answers, resets
  InterimThenRead,  // reads the header block, sends 100 Continue, reads the body, answers
  ResetUnanswered   // reads the header block and resets without a word
};

struct TEarlyCase {
  const char* Name;
  TServer Server;
  bool ViaProxy;
  std::size_t BodySize;
  std::string Reply;
  int Status;  // expected ReplyNumber (0: no status line was read)
  std::string Body;
  std::string Error;  // "" when the request ends normally
  bool Http11 = false;
};

void PrintTo(const TEarlyCase& C, std::ostream* Os) { *Os << C.Name; }

// The header block, and whatever part of the body came in the same receives.
std::size_t ReadHeaderBlock(int Fd) {
  std::string Data;
  char Buffer[4096];
  while (Data.find("\r\n\r\n") == std::string::npos) {
    const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
    if (N <= 0) break;
    Data.append(Buffer, static_cast<std::size_t>(N));
  }
  return Data.size() - std::min(Data.size(), Data.find("\r\n\r\n") + 4);
}

// Until the client has closed its side, without reading a byte of what it sent.
void AwaitClientClose(int Fd) {
  pollfd P{Fd, POLLRDHUP, 0};
  ::poll(&P, 1, 10000);
}

class EarlyReplyTest : public HttpTest, public ::testing::WithParamInterface<TEarlyCase> {};

TEST_P(EarlyReplyTest, ReplyStandsOrResetIsReported) {
  const TEarlyCase& C = GetParam();
  std::atomic<std::size_t> BodyReceived{0};
  LoopbackPeer Peer([&](int Fd) {
    const std::size_t Early = ReadHeaderBlock(Fd);
    switch (C.Server) {
      case TServer::AnswerThenReset:
        SendAll(Fd, C.Reply);
        WaitUntilAcked(Fd);
        ResetOnClose(Fd);
        break;
      case TServer::AnswerThenHold:
        SendAll(Fd, C.Reply);
        AwaitClientClose(Fd);
        break;
      case TServer::ReadThenReset:
        BodyReceived = Early + RecvExactly(Fd, C.BodySize - Early).size();
        SendAll(Fd, C.Reply);
        WaitUntilAcked(Fd);
        ResetOnClose(Fd);
        break;
      case TServer::InterimThenRead:
        SendAll(Fd, "HTTP/1.1 100 Continue\r\n\r\n");
        BodyReceived = Early + RecvExactly(Fd, C.BodySize - Early).size();
        SendAll(Fd, C.Reply);
        break;
      case TServer::ResetUnanswered: ResetOnClose(Fd); break;
    }
  });
  TVelHTTP& H = Make();
  H.EncodePostData = false;
  if (C.Http11) H.HttpVersion = hv11;
  if (C.ViaProxy) {
    H.Proxy = "127.0.0.1";
    H.ProxyPort = Peer.Port();
  }
  const std::string Error =
      ErrorOf([&] { H.Post(At(Peer.Port(), "/upload"), std::string(C.BodySize, 'x')); });
  EXPECT_EQ(Error, C.Error);
  EXPECT_EQ(H.ReplyNumber, C.Status);
  if (C.Error.empty()) {
    EXPECT_EQ(H.Body, C.Body);
  }
  if (C.Server == TServer::ReadThenReset || C.Server == TServer::InterimThenRead) {
    EXPECT_EQ(BodyReceived.load(), C.BodySize) << "the whole body was to be sent";
  }
  EXPECT_FALSE(H.Connected);
  // The server still waits for the rest of the body: nothing more may go on that connection.
  EXPECT_EQ(H.IdleConnections(), 0u);
  ASSERT_TRUE(Peer.Finished.Wait());
}

const std::string TooLarge = "HTTP/1.0 413 Payload Too Large\r\nContent-Length: 5\r\n\r\nlarge";

INSTANTIATE_TEST_SUITE_P(
    Item, EarlyReplyTest,
    ::testing::Values(
        TEarlyCase{"AnswerBeforeBodyThenReset", TServer::AnswerThenReset, false, Large, TooLarge,
                   413, "large", ""},
        TEarlyCase{"AnswerBeforeBodyServerStopsReading", TServer::AnswerThenHold, true, Large,
                   TooLarge, 413, "large", ""},
        TEarlyCase{"AnswerWithoutLengthThenReset", TServer::AnswerThenReset, false, Large,
                   "HTTP/1.0 401 Unauthorized\r\n\r\nno", 401, "", Reset},
        TEarlyCase{"ResetAfterWholeBody", TServer::ReadThenReset, false, 1000,
                   "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, "ok", ""},
        TEarlyCase{"ResetAfterReplyWithoutBody", TServer::ReadThenReset, false, 1000,
                   "HTTP/1.0 204 No Content\r\n\r\n", 204, "", ""},
        TEarlyCase{"ResetBeforeAnnouncedEnd", TServer::ReadThenReset, false, 1000,
                   "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nok", 200, "", Reset},
        TEarlyCase{"AnswerBeforeBodyIsNotKept", TServer::AnswerThenHold, false, Large,
                   "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 5\r\n\r\nlarge", 413, "large", "",
                   true},
        TEarlyCase{"InterimReplyAsksForTheBody", TServer::InterimThenRead, false, Large,
                   "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, "ok", ""},
        TEarlyCase{"ResetWithoutAnswer", TServer::ResetUnanswered, false, Large, "", 0, "", Reset}),
    [](const ::testing::TestParamInfo<TEarlyCase>& Info) { return std::string(Info.param.Name); });

}  // namespace
