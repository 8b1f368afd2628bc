// The scripted HTTP/2 server against Debian's own HTTP/2 clients (nghttp, curl): what it records
// of a client is what the client sent, and what it sends a client can read. Skipped where the
// clients are not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/TH2Peer.h"

namespace testsupport {
namespace {

using namespace h2steps;

const char* const Nghttp = "/usr/bin/nghttp";
const char* const Curl = "/usr/bin/curl";

bool Installed(const char* Binary) { return ::access(Binary, X_OK) == 0; }

// What the command wrote, standard error included; bounded so that a wedged client fails.
std::string RunClient(const std::string& Command, std::uint16_t Port) {
  std::string Out;
  const std::string Line = "timeout 20 " + Replaced(Command, "{P}", std::to_string(Port)) + " 2>&1";
  FILE* Pipe = ::popen(Line.c_str(), "r");
  char Block[4096];
  for (std::size_t N; Pipe && (N = std::fread(Block, 1, sizeof Block, Pipe)) > 0;)
    Out.append(Block, N);
  if (Pipe) ::pclose(Pipe);
  return Out;
}

TEST(TH2PeerTest, RecordsWhatACleartextClientSent) {
  if (!Installed(Nghttp) || !Installed(Curl)) GTEST_SKIP() << "nghttp or curl not installed";
  // nghttp's stream window of 1023 bytes makes the peer wait for WINDOW_UPDATE four times.
  const std::string Long = std::string(5000, 'x') + "end";
  struct TCase {
    const char* Command;
    const char* Method;
    const char* Body;
    std::uint32_t StreamWindow;
  } const Cases[] = {
      {"/usr/bin/nghttp -w 10 -H 'X-Probe: One' http://127.0.0.1:{P}/a?b=c", "GET", "", 1023},
      {"/usr/bin/curl -sS --noproxy '*' --http2-prior-knowledge -H 'X-Probe: One' "
       "--data-binary posted http://127.0.0.1:{P}/a?b=c",
       "POST", "posted", 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Command);
    TH2Peer Peer({Answer({{"content-type", "text/plain"}}, Long)});
    const std::string Out = RunClient(C.Command, Peer.Port());
    EXPECT_NE(Out.find(Long), std::string::npos) << Out;
    ASSERT_TRUE(Peer.Finished());
    const TH2Record R = Peer.Record();
    EXPECT_EQ(R.Errors, std::vector<std::string>{});
    EXPECT_TRUE(R.Preface);
    ASSERT_FALSE(R.Frames.empty());
    EXPECT_EQ(R.Frames[0].Type, NGHTTP2_SETTINGS);
    EXPECT_EQ(R.Count(NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK), 1);
    EXPECT_TRUE(R.ClientClosed);
    if (C.StreamWindow) {
      EXPECT_EQ(R.Setting(NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE), C.StreamWindow);
      EXPECT_GE(R.Count(NGHTTP2_WINDOW_UPDATE), 4);
    }
    ASSERT_EQ(R.Requests.size(), 1u);
    const TH2Request& Q = R.Requests[0];
    EXPECT_EQ(Q.Field(":method"), C.Method);
    EXPECT_EQ(Q.Field(":scheme"), "http");
    EXPECT_EQ(Q.Field(":authority"), "127.0.0.1:" + std::to_string(Peer.Port()));
    EXPECT_EQ(Q.Field(":path"), "/a?b=c");
    EXPECT_EQ(Q.Field("x-probe"), "One");  // the name as the client lower-cased it
    EXPECT_EQ(Q.Body, C.Body);
    EXPECT_TRUE(Q.Ended);
  }
}

TEST(TH2PeerTest, TlsChoosesTheProtocolByAlpn) {
  if (!Installed(Curl)) GTEST_SKIP() << "curl not installed";
  struct TCase {
    const char* Alpn;
    TH2Script Script;
    const char* Body;
  } const Cases[] = {
      {"h2", Answer({}, "over h2"), "over h2"},
      {"http/1.1",
       {ReadHttp1Request(), Raw("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nover h1.1")},
       "over h1.1"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Alpn);
    TH2Peer Peer({C.Script}, {.Tls = true, .Alpn = C.Alpn});
    EXPECT_EQ(RunClient("/usr/bin/curl -sS -k --noproxy '*' --http2 https://127.0.0.1:{P}/x",
                        Peer.Port()),
              C.Body);
    ASSERT_TRUE(Peer.Finished());
    const TH2Record R = Peer.Record();
    EXPECT_EQ(R.Errors, std::vector<std::string>{});
    EXPECT_TRUE(R.Handshaken);
    EXPECT_EQ(R.AlpnOffered, (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(R.Alpn, C.Alpn);
    if (R.Alpn == "h2") {
      ASSERT_EQ(R.Requests.size(), 1u);
      EXPECT_EQ(R.Requests[0].Field(":scheme"), "https");
    } else {
      ASSERT_EQ(R.Http1Requests.size(), 1u);
      EXPECT_EQ(R.Http1Requests[0].rfind("GET /x HTTP/1.1\r\n", 0), 0u) << R.Http1Requests[0];
    }
  }
}

// Frames a polite server would not send as they are: a header block split into CONTINUATION
// frames, a PING awaited, a GOAWAY before the body ends.
TEST(TH2PeerTest, SendsTheFramesItsStepsSay) {
  if (!Installed(Nghttp)) GTEST_SKIP() << "nghttp not installed";
  const std::string Split(300, 's');
  TH2Peer Peer(
      {{ReadPreface(), Settings({{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 7}}), ReadRequest(),
        Headers(LastRequest, {{":status", "200"}, {"x-split", Split}}, NGHTTP2_FLAG_END_HEADERS, 3),
        Ping("12345678"), AwaitFrame(NGHTTP2_PING), GoAway(LastRequest, NGHTTP2_NO_ERROR, "bye"),
        Data(LastRequest, "done"), Close()}});
  const std::string Out = RunClient("/usr/bin/nghttp -v http://127.0.0.1:{P}/", Peer.Port());
  EXPECT_NE(Out.find("SETTINGS_MAX_CONCURRENT_STREAMS(0x03):7"), std::string::npos) << Out;
  EXPECT_NE(Out.find("x-split: " + Split), std::string::npos) << Out;
  EXPECT_NE(Out.find("recv GOAWAY frame"), std::string::npos) << Out;
  EXPECT_NE(Out.find("done"), std::string::npos) << Out;
  ASSERT_TRUE(Peer.Finished());
  const TH2Record R = Peer.Record();
  EXPECT_EQ(R.Errors, std::vector<std::string>{});
  ASSERT_EQ(R.Count(NGHTTP2_PING, NGHTTP2_FLAG_ACK), 1);
  for (const TH2Frame& F : R.Frames)
    if (F.Type == NGHTTP2_PING) {
      EXPECT_EQ(F.Payload, "12345678");
    }
}

}  // namespace
}  // namespace testsupport
