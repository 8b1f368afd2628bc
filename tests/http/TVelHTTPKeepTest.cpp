// Kept connections (HTTP/1.1): which replies leave their connection for the next request, a
// kept connection the server closed, and what is never kept.
#include <chrono>
#include <thread>

#include "tests/http/HttpFixture.h"
#include "tests/support/TlsPeer.h"

using testsupport::TConnectionScript;
using testsupport::TScriptedPeer;
namespace steps = testsupport::steps;

namespace {

// Tells each connection step: "new 0", "kept 0", "reused 0", "resent".
class TConnectionLog : public THttpObserver {
 public:
  void ConnectionReady(THttpTime, int Number, bool Reused) override {
    Log.push_back((Reused ? "reused " : "new ") + std::to_string(Number));
  }
  void ConnectionKept(THttpTime, int Number) override {
    Log.push_back("kept " + std::to_string(Number));
  }
  void Resent(THttpTime) override { Log.push_back("resent"); }
  Lines Log;
};

std::string Sized(const std::string& Body, const std::string& Fields = "",
                  const char* Line = "HTTP/1.1 200 OK") {
  return std::string(Line) + "\r\n" + Fields + "Content-Length: " + std::to_string(Body.size()) +
         "\r\n\r\n" + Body;
}

const std::string First = Sized("first");
const std::string Again = Sized("again");

struct KeepCase {
  const char* Name;
  std::vector<TConnectionScript> Script;
  CmdType FirstCmd;
  CmdType SecondCmd;
  Lines Log;                // the connection steps of both requests
  std::string Error = "";   // the second request's
  int PauseMs = 0;          // between the two requests
  bool StreamBody = false;  // the second request's body is read from a device
  bool ViaProxy = false;    // both go through the server as a proxy
};

using steps::ReadRequest;
using steps::Send;

const KeepCase KeepCases[] = {
    {"LengthKeeps",
     {{ReadRequest(), Send(First), ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "reused 0", "kept 0"}},
    {"LastChunkKeeps",
     {{ReadRequest(),
       Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n0\r\n\r\n"),
       ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "reused 0", "kept 0"}},
    {"HeadKeepsWhateverItsLength",
     {{ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n"), ReadRequest(),
       Send(Again)}},
     hcHead,
     hcGet,
     {"new 0", "kept 0", "reused 0", "kept 0"}},
    {"NoContentKeeps",
     {{ReadRequest(), Send("HTTP/1.1 204 No Content\r\n\r\n"), ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "reused 0", "kept 0"}},
    {"Http10KeepAlive",
     {{ReadRequest(), Send(Sized("first", "Connection: Keep-Alive\r\n", "HTTP/1.0 200 OK")),
       ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "reused 0", "kept 0"}},
    {"ConnectionClose",
     {{ReadRequest(), Send(Sized("first", "Connection: keep-alive, close\r\n"))},
      {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    {"BodyToTheClose",
     {{ReadRequest(), Send("HTTP/1.1 200 OK\r\n\r\nfirst")}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    {"Http10ReplyCloses",
     {{ReadRequest(), Send(Sized("first", "", "HTTP/1.0 200 OK"))}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    // What comes after the last chunk was never asked for: a connection that carries it is
    // not one to read the next reply from.
    {"BytesAfterTheLastChunk",
     {{ReadRequest(),
       Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n0\r\n\r\n" +
            Sized("smuggled"))},
      {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    {"BytesAfterTheLength",
     {{ReadRequest(), Send(First + Sized("smuggled"))}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    // A proxy speaks of its connection to us in Proxy-Connection too.
    {"ProxyConnectionClose",
     {{ReadRequest(), Send(Sized("first", "Proxy-Connection: close\r\n"))},
      {ReadRequest(), Send(Again)}},
     hcGet, hcGet, {"new 0", "new 1", "kept 1"}, "", 0, false, true},
    {"Http10ProxyKeepAlive",
     {{ReadRequest(), Send(Sized("first", "Proxy-Connection: keep-alive\r\n", "HTTP/1.0 200 OK")),
       ReadRequest(), Send(Again)}},
     hcGet, hcGet, {"new 0", "kept 0", "reused 0", "kept 0"}, "", 0, false, true},
    {"KeepAliveTimeoutOfNone",
     {{ReadRequest(), Send(Sized("first", "Keep-Alive: timeout=0\r\n"))},
      {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    {"OtherVersionsAreNotKept",
     {{ReadRequest(), Send(Sized("first", "", "HTTP/2.0 200 OK"))}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "new 1", "kept 1"}},
    {"ServerClosedItWhileIdle",
     {{ReadRequest(), Send(First)}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "new 1", "kept 1"},
     "",
     100},
    {"ClosedAsTheGetCameIsSentAgain",
     {{ReadRequest(), Send(First), ReadRequest()}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcGet,
     {"new 0", "kept 0", "reused 0", "resent", "new 1", "kept 1"}},
    {"ClosedAsThePostCameFails",
     {{ReadRequest(), Send(First), ReadRequest()}},
     hcGet,
     hcPost,
     {"new 0", "kept 0", "reused 0"},
     "Empty reply from server: connection #0 was closed by the server before the reply, and a POST "
     "is not sent twice"},
    {"ResetAsTheDeleteCameIsSentAgain",
     {{ReadRequest(), Send(First), ReadRequest(), steps::Reset()}, {ReadRequest(), Send(Again)}},
     hcGet,
     hcDelete,
     {"new 0", "kept 0", "reused 0", "resent", "new 1", "kept 1"}},
    {"ClosedAsAPutFromAStreamCameFails",
     {{steps::ReadRequest(), steps::Send(First), steps::ReadRequest()}},
     hcGet,
     hcPut,
     {"new 0", "kept 0", "reused 0"},
     "Empty reply from server: connection #0 was closed by the server before the reply, and its "
     "body, read from a stream, cannot be sent again",
     0,
     true},
};

void PrintTo(const KeepCase& C, std::ostream* Os) { *Os << C.Name; }

class KeptConnection : public HttpTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeptConnection, Decides) {
  const KeepCase& C = GetParam();
  TScriptedPeer Server(C.Script);
  auto& H = Make();
  H.HttpVersion = hv11;
  TConnectionLog Steps;
  H.AddObserver(Steps);
  const auto Url = [&](const char* Path) {
    return C.ViaProxy ? std::string("http://origin.test") + Path : At(Server.Port(), Path);
  };
  if (C.ViaProxy) {
    H.Proxy = "127.0.0.1";
    H.ProxyPort = Server.Port();
  }
  H.Perform(C.FirstCmd, Url("/1"));
  if (C.PauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(C.PauseMs));
  const TempDir Files;
  H.OutputFileMode = C.StreamBody;
  if (C.StreamBody) H.Header = Files.Path + "/head";
  EXPECT_EQ(ErrorOf([&] {
              H.Perform(C.SecondCmd, Url("/2"), C.StreamBody ? "/dev/null" : "x=1");
            }),
            C.Error);
  EXPECT_EQ(Steps.Log, C.Log);
  if (C.Error.empty()) {
    EXPECT_EQ(H.Body, "again");
  }
  // Whatever the server did, every request it read was HTTP/1.1 and asked for no keep-alive.
  for (const std::string& Request : Server.Requests()) {
    EXPECT_NE(Request.find(" HTTP/1.1\r\n"), std::string::npos) << Request;
    EXPECT_EQ(Request.find("\r\nConnection:"), std::string::npos) << Request;
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, KeptConnection, ::testing::ValuesIn(KeepCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// Each kept connection is for its own server: another name on the same address and port
// gets a connection of its own.
TEST_F(HttpTest, KeptOnlyForTheSameServer) {
  TScriptedPeer Server(
      {{steps::ReadRequest(), steps::Send(First)}, {steps::ReadRequest(), steps::Send(Again)}});
  auto& H = Make();
  H.HttpVersion = hv11;
  const std::string Port = std::to_string(Server.Port());
  H.Get("http://a.test:" + Port + "/");
  H.Get("http://b.test:" + Port + "/");
  EXPECT_FALSE(H.ConnectionReused());
  EXPECT_EQ(H.ConnectionsOpened(), 2);
  EXPECT_EQ(H.IdleConnections(), 2u);
  H.CloseIdleConnections();
  EXPECT_EQ(H.IdleConnections(), 0u);
}

// A redirection to the same server goes on the same connection; a body the bound cut is not
// read to its end, and its connection goes.
TEST_F(HttpTest, RedirectionReusesAndACutBodyCloses) {
  TScriptedPeer Server(
      {{steps::ReadRequest(), steps::Send(Sized("", "Location: /2\r\n", "HTTP/1.1 302 Found")),
        steps::ReadRequest(), steps::Send(Sized("0123456789"))},
       {steps::ReadRequest(), steps::Send(Again)}});
  auto& H = Make();
  H.HttpVersion = hv11;
  H.MaxBodySize = 4;
  TConnectionLog Steps;
  H.AddObserver(Steps);
  EXPECT_EQ(ErrorOf([&] { H.Get(At(Server.Port(), "/1")); }), "Reply body larger than 4 bytes");
  H.MaxBodySize = 0;
  H.Get(At(Server.Port(), "/3"));
  EXPECT_EQ(Steps.Log, (Lines{"new 0", "kept 0", "reused 0", "new 1", "kept 1"}));
}

// The server's Keep-Alive timeout bounds the idle time; HTTP/1.0, the default, keeps none,
// whatever its reply says.
TEST_F(HttpTest, IdleTimeAndTheDefault) {
  TScriptedPeer Server(
      {{steps::ReadRequest(), steps::Send(Sized("first", "Keep-Alive: timeout=1\r\n")),
        steps::Stall()},
       {steps::ReadRequest(), steps::Send(Again)},
       {steps::ReadRequest(), steps::Send(Sized("again", "Connection: keep-alive\r\n"))}});
  auto& H = Make();
  H.HttpVersion = hv11;
  H.Get(At(Server.Port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  H.Get(At(Server.Port()));
  EXPECT_EQ(H.ConnectionNumber(), 1);
  H.HttpVersion = hv10;
  H.Get(At(Server.Port()));
  EXPECT_EQ(H.ConnectionNumber(), 2);
  EXPECT_EQ(H.IdleConnections(), 1u);
  EXPECT_NE(Server.Requests().at(2).find(" HTTP/1.0\r\n"), std::string::npos);
}

// Over TLS the session goes on with its connection: no second handshake. Other TLS settings
// are another connection, whose session is shaken hands anew.
TEST_F(HttpTest, KeptTlsConnectionAndItsSettings) {
  using K = testsupport::TTlsStepKind;
  testsupport::TTlsPeer Tls(
      testsupport::TTestPki::Get().Good,
      {{{K::Accept}, {K::ReadRequest}, {K::Send, First}, {K::ReadRequest}, {K::Send, First}},
       {{K::Accept}, {K::ReadRequest}, {K::Send, Again}, {K::CloseNotify}}});
  auto& H = Make();
  H.HttpVersion = hv11;
  H.SecureSocket = true;
  H.TlsSettings.CaFile = testsupport::TTestPki::Get().RootFile;
  TConnectionLog Steps;
  H.AddObserver(Steps);
  const std::string Url = "https://good.test:" + std::to_string(Tls.Port()) + "/";
  H.Get(Url);
  H.Get(Url);
  H.TlsSettings.MinVersion = TTlsVersion::tv13;
  H.Get(Url);
  EXPECT_EQ(H.Body, "again");
  Steps.Log.resize(5);
  EXPECT_EQ(Steps.Log, (Lines{"new 0", "kept 0", "reused 0", "kept 0", "new 1"}));
}

// Idle connections close when their time runs out, while the thread waits for anything; a
// handler that destroys the component as the closed kept connection goes ends the request.
// Each connection goes on its own time, also one kept after another that lasts longer.
TEST_F(HttpTest, IdleTimeRunsOutAndDestroyedOnTheResend) {
  TScriptedPeer Longer({{steps::ReadRequest(), steps::Send(First), steps::Stall()}});
  TScriptedPeer Server({{steps::ReadRequest(), steps::Send(First), steps::ReadRequest()},
                        {steps::ReadRequest(), steps::Send(First), steps::ReadRequest()}});
  auto& H = Make();
  H.HttpVersion = hv11;
  H.Get(At(Longer.Port()));
  H.IdleTimeout = 30;
  H.Get(At(Server.Port()));
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (H.IdleConnections() > 1 && std::chrono::steady_clock::now() < Until) {
    win::WaitMessage(100);
    Application.ProcessMessages();
  }
  EXPECT_EQ(H.IdleConnections(), 1u);
  H.IdleTimeout = 60000;
  H.Get(At(Server.Port()));
  H.OnDisconnect = [this](TObject*) { Http.reset(); };
  EXPECT_EQ(ErrorOf([&] { H.Get(At(Server.Port())); }), "Aborted: the component was destroyed");
  EXPECT_EQ(Http.get(), nullptr);
}

}  // namespace
