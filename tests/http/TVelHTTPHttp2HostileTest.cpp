// HTTP/2 servers that misbehave, scripted frame by frame (h2c by prior knowledge: TLS adds
// nothing to what the session does), and what the component sends them, read off the wire.
#include <sys/resource.h>

#include "http/HttpErrors.h"
#include "tests/http/HttpFixture.h"
#include "tests/support/TH2Peer.h"

namespace {

using namespace testsupport;
using namespace testsupport::h2steps;

std::string FrameBytes(std::uint8_t Type, std::uint8_t Flags, std::uint32_t Stream,
                       const std::string& Payload = {}) {
  return H2FrameBytes(Type, Flags, Stream, Payload);
}

class Http2HostileTest : public HttpTest {
 protected:
  TVelHTTP& Client() {
    TVelHTTP& H = MakeBare();
    H.HttpVersion = hv2Prior;
    return H;
  }
  static std::string Url(const TH2Peer& Peer, const std::string& Path = "/") {
    return "http://127.0.0.1:" + std::to_string(Peer.Port()) + Path;
  }
};

// What the component sends is read by the peer, not taken from what the code meant to send.
TEST_F(Http2HostileTest, TheRequestGoesAsOneStreamWithoutTheFieldsOfAConnection) {
  TH2Peer Peer({Answer({{"content-type", "text/plain"}}, "hi")});
  TVelHTTP& H = Client();
  H.CustomHeaders = {
      "Connection: close, X-Hop", "X-Hop: 1", "Keep-Alive: 5", "TE: gzip", "Upgrade: h2c",
      "X-Mixed-Case: Kept"};
  H.EncodePostData = false;
  H.Post(Url(Peer, "/form?a=1"), "posted");
  EXPECT_EQ(H.Body, "hi");
  Http.reset();  // the connection closes: the peer's script ends
  ASSERT_TRUE(Peer.Finished());
  const TH2Record R = Peer.Record();
  EXPECT_EQ(R.Errors, std::vector<std::string>{});
  ASSERT_EQ(R.Requests.size(), 1u);
  const TH2Request& Q = R.Requests[0];
  EXPECT_EQ(Q.Stream, 1u);
  ASSERT_GE(Q.Headers.size(), 4u);
  const TH2Fields Pseudo(Q.Headers.begin(), Q.Headers.begin() + 4);
  EXPECT_EQ(Pseudo, (TH2Fields{{":method", "POST"},
                               {":path", "/form?a=1"},
                               {":scheme", "http"},
                               {":authority", "127.0.0.1:" + std::to_string(Peer.Port())}}));
  for (const auto& [Name, Value] : Q.Headers) {
    EXPECT_EQ(Name, AsciiLowered(Name));
    for (const char* Gone : {"host", "connection", "keep-alive", "te", "upgrade", "x-hop",
                             "transfer-encoding", "proxy-connection"})
      EXPECT_NE(Name, Gone);
  }
  EXPECT_EQ(Q.Field("x-mixed-case"), "Kept");
  EXPECT_EQ(Q.Field("content-length"), "6");
  EXPECT_EQ(Q.Body, "posted");
  EXPECT_TRUE(Q.Ended);
  EXPECT_EQ(R.Setting(NGHTTP2_SETTINGS_ENABLE_PUSH), 0u);
}

// Each server breaks the exchange its own way; the request ends with a clear error, the body
// that came is kept, and nothing hangs or spins.
TEST_F(Http2HostileTest, AServerThatBreaksTheProtocolEndsTheRequestWithItsError) {
  const std::string Big(16 * 1024, 'h');
  TH2Fields Huge;  // more than 1 MiB of fields in fewer CONTINUATION frames than allowed
  for (int I = 0; I < 70; ++I) Huge.push_back({"x-filler-" + std::to_string(I), Big});
  struct TCase {
    const char* Name;
    TH2Script Script;
    const char* Error;  // a part of the error's message
    bool StreamOnly;
    std::string Body;  // what the body holds after the error, when some came
  } const Cases[] = {
      {"GoAwayMidBody",
       {ReadPreface(), Settings(), ReadRequest(),
        Headers(LastRequest, {{":status", "200"}, {"content-length", "100"}}),
        Data(LastRequest, "0123456789", false), GoAway(LastRequest, NGHTTP2_INTERNAL_ERROR),
        Close()},
       "did not end: the server ended the connection (GOAWAY INTERNAL_ERROR)",
       false,
       "0123456789"},
      {"ResetMidBody",
       {ReadPreface(), Settings(), ReadRequest(), Headers(LastRequest, {{":status", "200"}}),
        Data(LastRequest, "part", false), RstStream(LastRequest, NGHTTP2_INTERNAL_ERROR), Idle()},
       "stream 1 was reset by the server (INTERNAL_ERROR)",
       true,
       "part"},
      {"ResetBeforeTheHeadersEnd",
       {ReadPreface(), Settings(), ReadRequest(),
        Headers(LastRequest, {{":status", "200"}}, NGHTTP2_FLAG_NONE),
        RstStream(LastRequest, NGHTTP2_CANCEL), Idle()},
       "broke the protocol (PROTOCOL_ERROR)",
       false,
       ""},
      {"HeaderListPastTheBound",
       {ReadPreface(), Settings(), ReadRequest(),
        Headers(
            LastRequest,
            [&] {
              TH2Fields F{{":status", "200"}};
              F.insert(F.end(), Huge.begin(), Huge.end());
              return F;
            }(),
            NGHTTP2_FLAG_END_HEADERS, 70),
        Idle()},
       "Reply header too large",
       false,
       ""},
      {"SixteenMebibytesOfContinuation",
       {ReadPreface(), Settings(), ReadRequest(),
        Headers(LastRequest, {{":status", "200"}, {"x-big", std::string(16 << 20, 'c')}},
                NGHTTP2_FLAG_END_HEADERS, 1024),
        Idle()},
       "HTTP/2",
       false,
       ""},
      {"SettingsFlood",
       {ReadPreface(), Settings(), ReadRequest(), Flood(FrameBytes(NGHTTP2_SETTINGS, 0, 0), 20000),
        Idle()},
       "lood",
       false,
       ""},
      {"PingFlood",
       {ReadPreface(), Settings(), ReadRequest(),
        Flood(FrameBytes(NGHTTP2_PING, 0, 0, std::string(8, 'p')), 20000), Idle()},
       "lood",
       false,
       ""},
      {"EmptyDataFlood",
       {ReadPreface(), Settings(), ReadRequest(), Headers(LastRequest, {{":status", "200"}}),
        Flood(FrameBytes(NGHTTP2_DATA, 0, 1), 20000), Idle()},
       "HTTP/2 flood",
       false,
       ""},
      {"PushPromiseAlthoughRefused",
       {ReadPreface(), Settings(), ReadRequest(),
        PushPromise(
            LastRequest, 2,
            {{":method", "GET"}, {":path", "/pushed"}, {":scheme", "http"}, {":authority", "x"}}),
        Idle()},
       "broke the protocol (PROTOCOL_ERROR)",
       false,
       ""},
      {"AReplyWithoutStatus",
       {ReadPreface(), Settings(), ReadRequest(),
        Headers(LastRequest, {{"content-type", "text/plain"}}, NGHTTP2_FLAG_END_HEADERS), Idle()},
       "stream 1 was reset for a reply that breaks HTTP/2 (PROTOCOL_ERROR)",
       true,
       ""},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TH2Peer Peer({C.Script});
    TVelHTTP& H = Client();
    std::string Message;
    bool StreamOnly = !C.StreamOnly;
    try {
      H.Get(Url(Peer));
    } catch (const EHttp2Error& E) {
      Message = E.what();
      StreamOnly = E.StreamOnly();
    } catch (const std::exception& E) {
      Message = E.what();
      StreamOnly = false;
    }
    EXPECT_NE(Message.find(C.Error), std::string::npos) << Message;
    EXPECT_EQ(StreamOnly, C.StreamOnly) << Message;
    if (!C.Body.empty()) {
      EXPECT_EQ(H.Body, C.Body);
    }
    EXPECT_EQ(H.IdleConnections(), 0u);
    Http.reset();
  }
}

// A stream the server did not take goes once more on a new connection; so does a request the
// server says it is the wrong one for (421).
TEST_F(Http2HostileTest, ARefusedOrMisdirectedStreamGoesOnceMoreOnANewConnection) {
  struct TCase {
    const char* Name;
    TH2Script First;
    bool Succeeds;  // a second refusal is the request's error
  } const Cases[] = {
      {"RefusedStream",
       {ReadPreface(), Settings(), ReadRequest(), RstStream(LastRequest, NGHTTP2_REFUSED_STREAM),
        Idle()},
       true},
      {"GoAwayBeforeTheStream",
       {ReadPreface(), Settings(), ReadHeaders(), GoAway(0, NGHTTP2_NO_ERROR), Close()},
       true},
      {"Misdirected",
       {ReadPreface(), Settings(), ReadRequest(), Reply(LastRequest, 421), Idle()},
       true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TH2Peer Peer({C.First, Answer({}, "second")});
    TVelHTTP& H = Client();
    H.Get(Url(Peer));
    EXPECT_EQ(H.Body, "second");
    EXPECT_EQ(H.ReplyNumber, 200);
    EXPECT_EQ(H.ConnectionsOpened(), 2);
    Http.reset();
    EXPECT_TRUE(Peer.Finished());
    EXPECT_EQ(Peer.Accepted(), 2);
  }
  // Refused on both: the second refusal stands.
  const TH2Script Refuse{ReadPreface(), Settings(), ReadRequest(),
                         RstStream(LastRequest, NGHTTP2_REFUSED_STREAM), Idle()};
  TH2Peer Peer({Refuse, Refuse});
  TVelHTTP& H = Client();
  EXPECT_NE(ErrorOf([&] { H.Get(Url(Peer)); }).find("refused by the server (REFUSED_STREAM)"),
            std::string::npos);
  // A POST is not sent twice.
  TH2Peer Once({Refuse});
  EXPECT_NE(ErrorOf([&] { H.Post(Url(Once), "x"); }).find("a POST is not sent twice"),
            std::string::npos);
}

// A window the server never opens holds the upload: the wait sleeps until the time-out.
TEST_F(Http2HostileTest, AWindowNeverOpenedWaitsWithoutSpinningUntilTheTimeOut) {
  TH2PeerOptions Options;
  Options.OpenWindows = false;
  TH2Peer Peer({{ReadPreface(), Settings({{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 0}}), Stall()}},
               Options);
  TVelHTTP& H = Client();
  H.TimeOut = 400;
  rusage Before{}, After{};
  ::getrusage(RUSAGE_SELF, &Before);
  const auto Started = std::chrono::steady_clock::now();
  const std::string Error = ErrorOf([&] { H.Put(Url(Peer, "/up"), std::string(100000, 'u')); });
  const auto Wall = std::chrono::steady_clock::now() - Started;
  ::getrusage(RUSAGE_SELF, &After);
  EXPECT_NE(Error, "");
  EXPECT_TRUE(H.TimedOut) << Error;
  const auto Cpu = std::chrono::seconds(After.ru_utime.tv_sec - Before.ru_utime.tv_sec) +
                   std::chrono::microseconds(After.ru_utime.tv_usec - Before.ru_utime.tv_usec);
  EXPECT_LT(Cpu, Wall / 4) << "the wait spun";
}

}  // namespace

// A stop ends the stream, not the connection: the next request goes as the next stream.
TEST_F(Http2HostileTest, AStopCancelsTheStreamAndKeepsTheConnection) {
  TH2Peer Peer(
      {{ReadPreface(), Settings(), ReadRequest(), Headers(LastRequest, {{":status", "200"}}),
        Data(LastRequest, "endless", false), AwaitFrame(NGHTTP2_RST_STREAM), ReadRequest(),
        Reply(LastRequest, 200, {}, "again"), Idle()}});
  TVelHTTP& H = Client();
  H.HttpVersion = hv2Prior;
  H.BodySink = [&](std::string_view) { H.Abort(); };
  EXPECT_NE(ErrorOf([&] { H.Get(Url(Peer)); }), "");
  EXPECT_EQ(H.IdleConnections(), 1u);
  H.BodySink = nullptr;
  H.Get(Url(Peer));
  EXPECT_EQ(H.Body, "again");
  EXPECT_EQ(H.StreamNumber(), 3);
  EXPECT_EQ(H.ConnectionsOpened(), 1);
  Http.reset();
  ASSERT_TRUE(Peer.Finished());
  const TH2Record R = Peer.Record();
  ASSERT_EQ(R.Count(NGHTTP2_RST_STREAM), 1);
  for (const TH2Frame& F : R.Frames)
    if (F.Type == NGHTTP2_RST_STREAM) {
      EXPECT_EQ(F.Stream, 1u);
      EXPECT_EQ(F.Payload, H2Be32(NGHTTP2_CANCEL));
    }
}

