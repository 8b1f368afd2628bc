// orrery-cli over TLS against one real nginx that serves every certificate of the throw-away
// PKI on a listener of its own: the certificate matrix run through orrery-cli and Debian's
// curl with the same options, each exit status against the expected one and against curl's
// (scripts/tls-matrix.sh prints the two side by side); then the -v, -w and HAR facts of a
// verified pass, and a proxy's refusal of the tunnel.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <thread>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/ChildProcess.h"
#include "tests/cli/NginxServer.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/support/TestPki.h"

namespace {

using Strings = std::vector<std::string>;
using clitest::TRunResult;
using testsupport::TPkiCert;
using testsupport::TTestPki;

const char* const CurlPath = "/usr/bin/curl";

// One listener per case, each the default server of its port, so that no case depends on
// SNI to pick its certificate (the IP leaf gets none at all).
struct TListener {
  const char* Name;
  const TPkiCert TTestPki::*Leaf;
  const char* Extra;  // more directives of the server block
};

const TListener Listeners[] = {
    {"good", &TTestPki::Good, "ssl_protocols TLSv1.2 TLSv1.3;"},
    {"expired", &TTestPki::Expired, ""},
    {"future", &TTestPki::NotYetValid, ""},
    {"wrong", &TTestPki::WrongHost, ""},
    {"wild", &TTestPki::Wildcard, ""},
    {"ip", &TTestPki::Ip, ""},
    {"self", &TTestPki::SelfSigned, ""},
    {"untrusted", &TTestPki::Untrusted, ""},
    {"leafonly", &TTestPki::LeafOnly, ""},
    // nginx loads a SHA-1 or 1024-bit certificate only below OpenSSL's default level.
    {"sha1", &TTestPki::Sha1, "ssl_ciphers DEFAULT:@SECLEVEL=0;"},
    {"rsa1024", &TTestPki::Rsa1024, "ssl_ciphers DEFAULT:@SECLEVEL=0;"},
    {"tls12", &TTestPki::Good, "ssl_protocols TLSv1.2;"},
    {"tls13", &TTestPki::Good, "ssl_protocols TLSv1.3;"},
    {"client", &TTestPki::Good, "ssl_verify_client on; ssl_client_certificate {ROOT};"},
};

class TTlsNginx {
 public:
  explicit TTlsNginx(const TTestPki& Pki) {
    FDir.Write("html/index.html", "ok\n");
    std::string Servers;
    for (const TListener& L : Listeners) {
      const std::uint16_t Port = testsupport::FreePort();
      FPorts.emplace_back(L.Name, Port);
      const TPkiCert& Leaf = Pki.*L.Leaf;
      std::string Extra = L.Extra;
      if (const auto At = Extra.find("{ROOT}"); At != std::string::npos)
        Extra.replace(At, 6, Pki.RootFile);
      Servers += "  server {\n    listen 127.0.0.1:" + std::to_string(Port) +
                 " ssl;\n    ssl_certificate " + Leaf.Chain + ";\n    ssl_certificate_key " +
                 Leaf.Key + ";\n    root {D}/html;\n    " + Extra + "\n  }\n";
    }
    const std::string& D = FDir.Path();
    for (auto At = Servers.find("{D}"); At != std::string::npos; At = Servers.find("{D}", At))
      Servers.replace(At, 3, D);
    std::string Conf = "daemon off;\nmaster_process off;\npid " + D + "/nginx.pid;\nerror_log " +
                       D + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                       "  access_log off;\n";
    for (const char* Temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      Conf += std::string("  ") + Temp + "_temp_path " + D + "/tmp_" + Temp + ";\n";
    const std::string File = FDir.Write("nginx.conf", Conf + Servers + "}\n");
    // Every listener is bound before the first accepts: waiting for the last one is enough.
    if (!FProcess.Start({"/usr/sbin/nginx", "-p", D, "-c", File, "-e", D + "/error.log"},
                        FPorts.back().second, D))
      throw std::runtime_error("nginx did not start: " + clitest::ReadBytes(D + "/error.log"));
  }

  std::uint16_t Port(const std::string& Name) const {
    for (const auto& [Listener, Port] : FPorts)
      if (Listener == Name) return Port;
    throw std::runtime_error("no listener " + Name);
  }

 private:
  testsupport::ScratchDir FDir;
  testsupport::ServerProcess FProcess;
  std::vector<std::pair<std::string, std::uint16_t>> FPorts;
};

class CliTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::access("/usr/sbin/nginx", X_OK) != 0) return;
    Nginx = new TTlsNginx(TTestPki::Get());
  }
  static void TearDownTestSuite() {
    delete Nginx;
    Nginx = nullptr;
  }
  void SetUp() override {
    if (!Nginx) GTEST_SKIP() << "nginx is not installed";
  }

  // Replaces {root}, {client}, {clientkey}, {combined}, {encrypted}, {pass}, {scratch} and
  // {port:LISTENER}; "{url:LISTENER:HOST}" becomes the URL of that listener under HOST, with
  // --resolve sending HOST to 127.0.0.1.
  static Strings Expand(const Strings& Args) {
    const TTestPki& Pki = TTestPki::Get();
    const std::pair<std::string, std::string> Names[] = {
        {"{root}", Pki.RootFile},           {"{client}", Pki.Client.Cert},
        {"{clientkey}", Pki.Client.Key},    {"{combined}", Pki.ClientCombined},
        {"{encrypted}", Pki.ClientKeyEncrypted}, {"{pass}", Pki.ClientPassphrase},
        {"{scratch}", Pki.Dir}};
    Strings Out;
    for (std::string A : Args) {
      for (const auto& [Name, Value] : Names)
        for (auto At = A.find(Name); At != std::string::npos; At = A.find(Name, At))
          A.replace(At, Name.size(), Value);
      if (const auto At = A.find("{port:"); At != std::string::npos) {
        const auto End = A.find('}', At);
        A.replace(At, End + 1 - At, std::to_string(Nginx->Port(A.substr(At + 6, End - At - 6))));
      }
      if (A.rfind("{url:", 0) == 0) {
        const auto Colon = A.find(':', 5);
        const std::string Host = A.substr(Colon + 1, A.size() - Colon - 2);
        const std::string Port = std::to_string(Nginx->Port(A.substr(5, Colon - 5)));
        Out.insert(Out.end(), {"--resolve", Host + ":" + Port + ":127.0.0.1"});
        A = "https://" + Host + ":" + Port + "/";
      }
      Out.push_back(A);
    }
    return Out;
  }

  static TRunResult Run(const std::string& Program, const Strings& Args) {
    Strings Argv{Program};
    // curl's -0 is what orrery-cli always does; both write no body and no progress.
    if (Program == CurlPath) Argv.push_back("-0");
    Argv.insert(Argv.end(), {"-s", "-S", "-o", "/dev/null"});
    for (const std::string& A : Expand(Args)) Argv.push_back(A);
    return clitest::RunProgram(Argv);
  }

  static TTlsNginx* Nginx;
};
TTlsNginx* CliTlsTest::Nginx = nullptr;

// --- The certificate matrix ------------------------------------------------------------------

struct MatrixRow {
  const char* Name;
  Strings Args;  // the URL among them as {url:LISTENER:HOST}
  int Status;    // what Debian's curl 7.88 gives, and orrery-cli must give
};

// clang-format off: one row a line reads best here.
const MatrixRow Matrix[] = {
    {"good", {"--cacert", "{root}", "{url:good:good.test}"}, 0},
    {"expired", {"--cacert", "{root}", "{url:expired:expired.test}"}, 60},
    {"not yet valid", {"--cacert", "{root}", "{url:future:future.test}"}, 60},
    {"wrong host", {"--cacert", "{root}", "{url:wrong:wrong.test}"}, 60},
    {"wildcard", {"--cacert", "{root}", "{url:wild:a.wild.test}"}, 0},
    {"IP address", {"--cacert", "{root}", "{url:ip:127.0.0.1}"}, 0},
    {"self-signed", {"--cacert", "{root}", "{url:self:self.test}"}, 60},
    {"untrusted root", {"--cacert", "{root}", "{url:untrusted:untrusted.test}"}, 60},
    {"leaf only", {"--cacert", "{root}", "{url:leafonly:leafonly.test}"}, 60},
    {"SHA-1", {"--cacert", "{root}", "{url:sha1:sha1.test}"}, 60},
    {"RSA 1024", {"--cacert", "{root}", "{url:rsa1024:rsa1024.test}"}, 60},
    {"1.2-only, --tlsv1.3", {"--cacert", "{root}", "--tlsv1.3", "{url:tls12:good.test}"}, 35},
    {"1.3-only, --tls-max 1.2", {"--cacert", "{root}", "--tls-max", "1.2", "{url:tls13:good.test}"}, 35},
    {"1.2-only, --tls-max 1.2", {"--cacert", "{root}", "--tls-max", "1.2", "{url:tls12:good.test}"}, 0},
    // nginx answers a missing client certificate with its own 400: -f makes it show.
    {"client cert wanted, none", {"-f", "--cacert", "{root}", "{url:client:good.test}"}, 22},
    {"client cert wanted, -E", {"-f", "--cacert", "{root}", "-E", "{combined}", "{url:client:good.test}"}, 0},
    {"client cert, --key", {"-f", "--cacert", "{root}", "-E", "{client}", "--key", "{clientkey}", "{url:client:good.test}"}, 0},
    {"encrypted key, --pass", {"-f", "--cacert", "{root}", "-E", "{client}", "--key", "{encrypted}", "--pass", "{pass}", "{url:client:good.test}"}, 0},
    {"encrypted key, -E's pass", {"-f", "--cacert", "{root}", "-E", "{client}:{pass}", "--key", "{encrypted}", "{url:client:good.test}"}, 0},
    {"encrypted key, no pass", {"-f", "--cacert", "{root}", "-E", "{client}", "--key", "{encrypted}", "{url:client:good.test}"}, 58},
    {"CA file missing", {"--cacert", "{scratch}/no-such.pem", "{url:good:good.test}"}, 77},
    {"CA file empty", {"--cacert", "/dev/null", "{url:good:good.test}"}, 77},
    {"CA dir missing", {"--capath", "{scratch}/no-such-dir", "{url:good:good.test}"}, 60},
    {"-k, self-signed", {"-k", "{url:self:self.test}"}, 0},
    {"-k, expired", {"-k", "{url:expired:expired.test}"}, 0},
    {"system store only", {"{url:good:good.test}"}, 60},
    // The connection moves; the name checked stays the URL's.
    {"--connect-to", {"--cacert", "{root}", "--connect-to", "good.test:443:127.0.0.1:{port:good}", "https://good.test/"}, 0},
    {"--connect-to, other name", {"--cacert", "{root}", "--connect-to", "::127.0.0.1:{port:good}", "https://wrong.test/"}, 60},
};
// clang-format on

TEST_F(CliTlsTest, MatrixGivesCurlsExitStatus) {
  const bool HaveCurl = ::access(CurlPath, X_OK) == 0;
  std::string Table = "orrery-cli  curl  expected  case\n";
  for (const MatrixRow& Row : Matrix) {
    SCOPED_TRACE(Row.Name);
    const TRunResult Ours = Run(ORRERY_CLI_PATH, Row.Args);
    EXPECT_EQ(Ours.Status, Row.Status) << Ours.Err;
    std::string Theirs = "-";
    if (HaveCurl) {
      const TRunResult Curl = Run(CurlPath, Row.Args);
      EXPECT_EQ(Ours.Status, Curl.Status) << "curl: " << Curl.Err;
      Theirs = std::to_string(Curl.Status);
    }
    char Line[160];
    std::snprintf(Line, sizeof Line, "%10d  %4s  %8d  %s\n", Ours.Status, Theirs.c_str(),
                  Row.Status, Row.Name);
    Table += Line;
  }
  std::fputs(Table.c_str(), stdout);
}

// --- What a verified pass shows --------------------------------------------------------------

// curl's values of the same variables on the same server, for a pass that verified and for
// one whose failed check -k waived.
TEST_F(CliTlsTest, WriteOutMatchesCurl) {
  if (::access(CurlPath, X_OK) != 0) GTEST_SKIP() << "curl is not installed";
  const std::vector<Strings> Rows = {{"--cacert", "{root}", "{url:good:good.test}"},
                                     {"-k", "{url:self:self.test}"},
                                     {"-k", "{url:untrusted:untrusted.test}"}};
  for (Strings Args : Rows) {
    Args.insert(Args.begin(), {"-w", "%{ssl_verify_result} %{num_certs} %{scheme} %{http_code}"});
    const TRunResult Ours = Run(ORRERY_CLI_PATH, Args);
    const TRunResult Curl = Run(CurlPath, Args);
    EXPECT_EQ(Ours.Out, Curl.Out) << Args.back();
  }
}

TEST_F(CliTlsTest, VerboseAndHarTellTheSession) {
  const std::string Har = TTestPki::Get().Dir + "/good.har";
  const TRunResult R =
      Run(ORRERY_CLI_PATH, {"-v", "--har", Har, "--cacert", "{root}", "{url:good:good.test}"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  // The TLS lines come before the request's, which go only once the check has passed.
  const char* const InOrder[] = {"] ALPN: offers http/1.0",
                                 "] SSL connection using TLSv1.3 / ",
                                 "] ALPN: server accepted http/1.0",
                                 "]  SSL certificate verify ok.",
                                 "> GET / HTTP/1.0"};
  std::size_t At = 0;
  for (const char* Line : InOrder) {
    At = R.Err.find(Line, At);
    ASSERT_NE(At, std::string::npos) << Line << " (in order) in:\n" << R.Err;
  }
  const auto Entry = nlohmann::json::parse(clitest::ReadBytes(Har))["log"]["entries"][0];
  EXPECT_EQ(Entry["_tls"]["version"], "TLSv1.3");
  EXPECT_EQ(Entry["_tls"]["sni"], "good.test");
  EXPECT_EQ(Entry["_tls"]["alpn"], "http/1.0");
  EXPECT_EQ(Entry["_tls"]["verified"], true);
  EXPECT_GT(Entry["timings"]["ssl"].get<double>(), 0);
  EXPECT_GE(Entry["timings"]["connect"].get<double>(), Entry["timings"]["ssl"].get<double>());
}

// A TLS server of the test's own that answers each connection with a body that has no length
// and then closes without close_notify, as a server that crashed (or an attacker) would.
class TCutServer {
 public:
  explicit TCutServer(int Connections) : FListener(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    ::bind(FListener, reinterpret_cast<sockaddr*>(&A), sizeof A);
    ::listen(FListener, 4);
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&A), &Len);
    FPort = ntohs(A.sin_port);
    FCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(FCtx, TTestPki::Get().Good.Chain.c_str());
    SSL_CTX_use_PrivateKey_file(FCtx, TTestPki::Get().Good.Key.c_str(), SSL_FILETYPE_PEM);
    // A client that never comes leaves the server after a while, so the test cannot hang.
    FThread = std::thread([this, Connections] {
      pollfd P{FListener, POLLIN, 0};
      for (int I = 0; I < Connections && ::poll(&P, 1, 10000) == 1; ++I)
        Serve(::accept(FListener, nullptr, nullptr));
    });
  }
  ~TCutServer() {
    FThread.join();
    ::close(FListener);
    SSL_CTX_free(FCtx);
  }
  std::uint16_t Port() const { return FPort; }

 private:
  void Serve(int Fd) {
    SSL* Ssl = SSL_new(FCtx);
    SSL_set_fd(Ssl, Fd);
    std::string Request;
    char Buffer[4096];
    int Got = 0;
    if (SSL_accept(Ssl) == 1)
      while (Request.find("\r\n\r\n") == std::string::npos &&
             (Got = SSL_read(Ssl, Buffer, sizeof Buffer)) > 0)
        Request.append(Buffer, static_cast<std::size_t>(Got));
    const std::string Reply = "HTTP/1.0 200 OK\r\n\r\nthe start of a body";
    SSL_write(Ssl, Reply.data(), static_cast<int>(Reply.size()));
    SSL_free(Ssl);  // no SSL_shutdown: the close comes without close_notify
    ::close(Fd);
  }

  int FListener;
  std::uint16_t FPort = 0;
  SSL_CTX* FCtx = nullptr;
  std::thread FThread;
};

// Without a length, such a close may have cut the body: it is written, the run succeeds as
// curl's does, and standard error says what may have happened, unless -s.
TEST_F(CliTlsTest, BodyEndedByACloseWithoutCloseNotifyIsWrittenAndTold) {
  const bool HaveCurl = ::access(CurlPath, X_OK) == 0;
  TCutServer Server(HaveCurl ? 3 : 2);
  const std::string Port = std::to_string(Server.Port());
  const Strings Args{"--cacert", TTestPki::Get().RootFile, "--resolve",
                     "good.test:" + Port + ":127.0.0.1", "https://good.test:" + Port + "/"};
  Strings Loud{ORRERY_CLI_PATH}, Quiet{ORRERY_CLI_PATH, "-s"}, Curl{CurlPath, "-0", "-s"};
  for (Strings* Argv : {&Loud, &Quiet, &Curl}) Argv->insert(Argv->end(), Args.begin(), Args.end());
  const TRunResult R = clitest::RunProgram(Loud);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "the start of a body");
  EXPECT_EQ(R.Err, "orrery-cli: the server closed without ending TLS: the body may be cut short\n");
  const TRunResult S = clitest::RunProgram(Quiet);
  EXPECT_EQ(S.Status, 0);
  EXPECT_EQ(S.Err, "");
  if (!HaveCurl) return;
  const TRunResult C = clitest::RunProgram(Curl);
  EXPECT_EQ(C.Status, 0) << C.Err;
  EXPECT_EQ(C.Out, R.Out);
}

// Through tinyproxy the tunnel opens and the pass is checked as usual; -i writes the proxy's
// head of the tunnel before the server's, as curl does.
TEST_F(CliTlsTest, TunnelThroughTinyproxy) {
  if (::access("/usr/bin/tinyproxy", X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
  testsupport::ScratchDir Dir;
  const std::uint16_t ProxyPort = testsupport::FreePort();
  const std::string Conf = Dir.Write(
      "tinyproxy.conf", "Port " + std::to_string(ProxyPort) + "\nListen 127.0.0.1\nTimeout 30\n" +
                            "PidFile \"" + Dir.Path() + "/tp.pid\"\nLogFile \"" + Dir.Path() +
                            "/tp.log\"\nAllow 127.0.0.1\n");
  testsupport::ServerProcess Proxy;
  ASSERT_TRUE(Proxy.Start({"/usr/bin/tinyproxy", "-d", "-c", Conf}, ProxyPort, Dir.Path()));
  const TRunResult R = clitest::RunProgram(
      {ORRERY_CLI_PATH, "-i", "-x", "127.0.0.1:" + std::to_string(ProxyPort), "--cacert",
       TTestPki::Get().RootFile, "https://127.0.0.1:" + std::to_string(Nginx->Port("ip")) + "/"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out.rfind("HTTP/1.0 200 Connection established\r\n", 0), 0u) << R.Out;
  EXPECT_NE(R.Out.find("\r\n\r\nHTTP/1.1 200 OK\r\n"), std::string::npos) << R.Out;
  EXPECT_EQ(R.Out.substr(R.Out.size() - 3), "ok\n");
}

// A proxy that answers CONNECT with a refusal: curl's 56, no body written, and -i still
// shows the proxy's reply.
TEST_F(CliTlsTest, RefusedTunnelEndsWith56) {
  using testsupport::Whole;
  const std::string Refusal = "HTTP/1.0 403 Forbidden\r\nContent-Length: 9\r\n\r\n";
  testsupport::ScriptedHttpServer Proxy({Whole(Refusal + "forbidden"), Whole(Refusal + "forbidden")});
  const std::string Via = "127.0.0.1:" + std::to_string(Proxy.Port());
  const TRunResult R = clitest::RunProgram({ORRERY_CLI_PATH, "-i", "-x", Via, "https://good.test/"});
  EXPECT_EQ(R.Status, 56);
  EXPECT_EQ(R.Out, Refusal);
  EXPECT_NE(R.Err.find("(56) CONNECT tunnel failed, response 403"), std::string::npos) << R.Err;
  if (::access(CurlPath, X_OK) == 0) {
    EXPECT_EQ(clitest::RunProgram({CurlPath, "-s", "-x", Via, "https://good.test/"}).Status, 56);
  }
}

}  // namespace
