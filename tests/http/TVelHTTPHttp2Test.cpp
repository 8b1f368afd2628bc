// The component speaking HTTP/2: against nginx over TLS (h2 by ALPN, and a listener without it
// for the fall-back to HTTP/1.1) and against nghttpd by prior knowledge (h2c), with what the
// record keeps of the streams and frames.
#include <unistd.h>

#include <random>

#include "tests/http/HttpFixture.h"
#include "tests/integration/ServerProcess.h"
#include "tests/support/TestPki.h"

namespace {

using testsupport::FreePort;
using testsupport::ScratchDir;
using testsupport::ServerProcess;
using testsupport::TTestPki;

const std::string Page = "<html><body>over two</body></html>\n";

std::string Large() {
  std::mt19937 Random(20261211);
  std::string S(3 * 1024 * 1024 + 5, '\0');
  for (char& C : S) C = static_cast<char>(Random() & 0xFF);
  return S;
}

// One nginx with an h2 listener and one without, and one nghttpd for h2c, shared by the suite.
class Servers {
 public:
  static Servers& Get() {
    static Servers S;
    return S;
  }
  bool Ok() const { return H2Port != 0 && NoH2Port != 0; }
  std::uint16_t H2Port = 0, NoH2Port = 0, H2cPort = 0, ProxyPort = 0;
  const std::string Big = Large();

 private:
  Servers() {
    Dir.Write("www/page.html", Page);
    Dir.Write("www/large.bin", Big);
    if (::access("/usr/sbin/nginx", X_OK) == 0) StartNginx();
    if (::access("/usr/sbin/nghttpd", X_OK) == 0) StartNghttpd();
    if (::access("/usr/bin/tinyproxy", X_OK) == 0) StartTinyproxy();
  }
  void StartTinyproxy() {
    for (int Try = 0; Try < 5 && ProxyPort == 0; ++Try) {
      const std::uint16_t P = FreePort();
      const std::string& D = Dir.Path();
      const std::string Conf = Dir.Write(
          "tinyproxy.conf", "Port " + std::to_string(P) + "\nListen 127.0.0.1\nTimeout 30\n" +
                                "MaxClients 8\nPidFile \"" + D + "/tinyproxy.pid\"\nLogFile \"" +
                                D + "/tinyproxy.log\"\nLogLevel Info\nAllow 127.0.0.1\n");
      if (Proxy.Start({"/usr/bin/tinyproxy", "-d", "-c", Conf}, P, D)) ProxyPort = P;
    }
  }
  void StartNginx() {
    const TTestPki& Pki = TTestPki::Get();
    const std::string& D = Dir.Path();
    for (int Try = 0; Try < 5 && H2Port == 0; ++Try) {
      const std::uint16_t A = FreePort(), B = FreePort();
      if (A == B) continue;
      std::string Conf = "daemon off;\nmaster_process off;\npid " + D + "/nginx.pid;\nerror_log " +
                         D + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                         "  access_log off;\n  default_type text/html;\n"
                         "  gzip on;\n  gzip_min_length 1;\n";
      for (const char* Temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        Conf += std::string("  ") + Temp + "_temp_path " + D + "/tmp_" + Temp + ";\n";
      for (const auto& [Port, Extra] : {std::pair{A, " http2"}, std::pair{B, ""}})
        Conf += "  server {\n    listen 127.0.0.1:" + std::to_string(Port) + " ssl" + Extra +
                ";\n    server_name good.test;\n    ssl_certificate " + Pki.Good.Chain +
                ";\n    ssl_certificate_key " + Pki.Good.Key + ";\n    root " + D +
                "/www;\n    location = /again { return 302 /page.html; }\n"
                "    location = /post { return 200 \"$request_method $http_content_length "
                "$server_protocol\\n\"; }\n  }\n";
      Conf += "}\n";
      const std::string File = Dir.Write("nginx.conf", Conf + "");
      if (Nginx.Start({"/usr/sbin/nginx", "-p", D, "-c", File, "-e", D + "/error.log"}, A, D) &&
          Accepts(B))
        H2Port = A, NoH2Port = B;
    }
  }
  void StartNghttpd() {
    for (int Try = 0; Try < 5 && H2cPort == 0; ++Try) {
      const std::uint16_t P = FreePort();
      if (Nghttpd.Start({"/usr/sbin/nghttpd", "--no-tls", "--echo-upload", "-a", "127.0.0.1", "-d",
                         Dir.Path() + "/www", std::to_string(P)},
                        P, Dir.Path()))
        H2cPort = P;
    }
  }
  static bool Accepts(std::uint16_t Port) { return testsupport::Accepts(Port); }

  ScratchDir Dir;
  ServerProcess Nginx, Nghttpd, Proxy;
};

// What the passes told of their version, stream and frames.
struct TPassFacts {
  std::string Header;  // as ProtocolSpoken gave it, else as PassStarted did
  int Stream = 0;
  bool Reused = false;
  bool Kept = false;
  std::vector<THttp2Frame> Frames;
  int RequestVersion() const {
    const std::string Line = Header.substr(0, Header.find("\r\n"));
    return Line.ends_with(" HTTP/2") ? 20 : Line.ends_with(" HTTP/1.1") ? 11 : 10;
  }
};
class TFacts final : public THttpObserver {
 public:
  std::vector<TPassFacts> Passes;
  void PassStarted(THttpTime, const THttpPassStart& P) override {
    Passes.push_back({});
    Passes.back().Header = P.Header;
  }
  void ProtocolSpoken(THttpTime, int, int Stream, std::string_view Header) override {
    Passes.back().Stream = Stream;
    Passes.back().Header = Header;
  }
  void ConnectionReady(THttpTime, int, bool Reused) override { Passes.back().Reused = Reused; }
  void ConnectionKept(THttpTime, int) override { Passes.back().Kept = true; }
  void FrameSeen(THttpTime, const THttp2Frame& F) override { Passes.back().Frames.push_back(F); }
};

class Http2Test : public HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    if (!Servers::Get().Ok()) GTEST_SKIP() << "nginx with HTTP/2 did not start";
    TVelHTTP& H = Make();
    H.SecureSocket = true;
    H.TlsSettings.CaFile = TTestPki::Get().RootFile;
    H.HttpVersion = hv2;
    H.AddObserver(Recorder);
  }
  void TearDown() override {
    if (Http) Http->RemoveObserver(Recorder);
    HttpTest::TearDown();
  }
  static std::string Url(std::uint16_t Port, const std::string& Path) {
    return "https://good.test:" + std::to_string(Port) + Path;
  }
  const TPassFacts& Last() const { return Recorder.Passes.back(); }
  // The header list of the first HEADERS frame the pass sent.
  static std::string SentHeaders(const TPassFacts& P) {
    for (const THttp2Frame& F : P.Frames)
      if (F.Sent && F.Type == THttp2Frame::ftHeaders) return F.Headers;
    return {};
  }
  TFacts Recorder;
};

TEST_F(Http2Test, SpeaksHttp2ByAlpnAndKeepsTheConnectionForTheNextStream) {
  TVelHTTP& H = *Http;
  H.Get(Url(Servers::Get().H2Port, "/page.html"));
  EXPECT_EQ(H.Body, Page);
  EXPECT_EQ(H.ReplyNumber, 200);
  EXPECT_EQ(H.ReplyVersion(), 20);
  EXPECT_EQ(H.StreamNumber(), 1);
  EXPECT_TRUE(H.Header.starts_with("HTTP/2 200 \r\n")) << H.Header;
  EXPECT_EQ(H.BytesTotal, static_cast<std::int64_t>(Page.size()));
  const TPassFacts& P = Last();
  EXPECT_EQ(P.Stream, 1);
  EXPECT_EQ(P.RequestVersion(), 20);
  EXPECT_TRUE(P.Header.starts_with("GET /page.html HTTP/2\r\n")) << P.Header;
  // What went on the wire: pseudo-headers first, names in lower case, nothing of a connection.
  const std::string Sent = SentHeaders(P);
  EXPECT_TRUE(
      Sent.starts_with(":method: GET\r\n:path: /page.html\r\n:scheme: https\r\n"
                       ":authority: good.test:" +
                       std::to_string(Servers::Get().H2Port) + "\r\n"))
      << Sent;
  for (const char* Gone : {"connection", "host:", "keep-alive", "Accept"})
    EXPECT_EQ(Sent.find(Gone), std::string::npos) << Gone << " in\n" << Sent;
  EXPECT_NE(Sent.find("\r\naccept: "), std::string::npos) << Sent;
  ASSERT_FALSE(P.Frames.empty());
  EXPECT_TRUE(P.Kept);

  // The next request, and a redirection chain, go as further streams of the same connection.
  H.Get(Url(Servers::Get().H2Port, "/again"));
  EXPECT_EQ(H.Body, Page);
  ASSERT_EQ(Recorder.Passes.size(), 3u);
  EXPECT_TRUE(Recorder.Passes[1].Reused);
  EXPECT_EQ(Recorder.Passes[1].Stream, 3);
  EXPECT_EQ(Last().Stream, 5);
  EXPECT_EQ(H.ConnectionsOpened(), 1);
}

TEST_F(Http2Test, BodiesGoBothWaysWithTheFlowControl) {
  TVelHTTP& H = *Http;
  H.Get(Url(Servers::Get().H2Port, "/large.bin"));
  EXPECT_EQ(H.Body.size(), Servers::Get().Big.size());
  EXPECT_TRUE(H.Body == Servers::Get().Big);
  H.EncodePostData = false;
  const std::string Upload(300000, 'u');
  H.Post(Url(Servers::Get().H2Port, "/post"), Upload);
  EXPECT_EQ(H.Body, "POST 300000 HTTP/2.0\n");
  const std::string Sent = SentHeaders(Last());
  EXPECT_NE(Sent.find("content-length: 300000\r\n"), std::string::npos) << Sent;
  // A server that reads the body: past its first window, each DATA frame as it opens it.
  if (Servers::Get().H2cPort == 0) return;
  H.HttpVersion = hv2Prior;
  H.Put("http://127.0.0.1:" + std::to_string(Servers::Get().H2cPort) + "/echo", Servers::Get().Big);
  EXPECT_TRUE(H.Body == Servers::Get().Big) << H.Body.size();
  std::int64_t Data = 0;
  for (const THttp2Frame& F : Last().Frames)
    if (F.Sent && F.Type == THttp2Frame::ftData) Data += F.Length;
  EXPECT_EQ(Data, static_cast<std::int64_t>(Servers::Get().Big.size()));
}

// The reply path is the one of HTTP/1.x: codings come off, and through the proxy the tunnel
// carries h2 as a direct connection would.
TEST_F(Http2Test, CodingsAndTheProxyTunnelWorkAsOverHttp11) {
  TVelHTTP& H = *Http;
  H.AcceptEncoding = true;
  H.Get(Url(Servers::Get().H2Port, "/page.html"));
  EXPECT_EQ(H.Body, Page);
  EXPECT_TRUE(H.BodyDecoded());
  EXPECT_NE(H.Header.find("content-encoding: gzip\r\n"), std::string::npos) << H.Header;
  if (Servers::Get().ProxyPort == 0) return;
  H.CloseIdleConnections();
  H.AcceptEncoding = false;
  H.Proxy = "127.0.0.1";
  H.ProxyPort = Servers::Get().ProxyPort;
  H.ConnectRules = {{"good.test", 0, "127.0.0.1", 0}};
  H.Get(Url(Servers::Get().H2Port, "/page.html"));
  EXPECT_EQ(H.Body, Page);
  EXPECT_EQ(H.ReplyVersion(), 20);
  EXPECT_EQ(H.StreamNumber(), 1);
}

TEST_F(Http2Test, AServerWithoutH2GetsHttp11AndAVersionBelowIsNotOffered) {
  TVelHTTP& H = *Http;
  H.Get(Url(Servers::Get().NoH2Port, "/page.html"));
  EXPECT_EQ(H.Body, Page);
  EXPECT_EQ(H.ReplyVersion(), 11);
  EXPECT_EQ(H.StreamNumber(), 0);
  EXPECT_TRUE(Last().Header.starts_with("GET /page.html HTTP/1.1\r\n"));
  EXPECT_TRUE(Last().Frames.empty());
  // HTTP/1.1 chosen: h2 is not offered, whatever the server takes.
  H.HttpVersion = hv11;
  H.Get(Url(Servers::Get().H2Port, "/page.html"));
  EXPECT_EQ(H.ReplyVersion(), 11);
}

TEST_F(Http2Test, PriorKnowledgeSpeaksH2cAndPlainHttp2StaysHttp11) {
  if (Servers::Get().H2cPort == 0) GTEST_SKIP() << "nghttpd is not installed";
  TVelHTTP& H = *Http;
  const std::string U = "http://127.0.0.1:" + std::to_string(Servers::Get().H2cPort) + "/page.html";
  H.HttpVersion = hv2Prior;
  H.Get(U);
  EXPECT_EQ(H.Body, Page);
  EXPECT_EQ(H.ReplyVersion(), 20);
  EXPECT_TRUE(
      SentHeaders(Last()).starts_with(":method: GET\r\n:path: /page.html\r\n:scheme: http\r\n"));
  H.Get(U);
  EXPECT_EQ(H.StreamNumber(), 3);
  EXPECT_EQ(H.ConnectionsOpened(), 1);
}

}  // namespace
