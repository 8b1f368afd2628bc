// orrery-cli over TLS against one nginx serving every certificate of the throw-away PKI on a
// listener of its own: the certificate matrix through orrery-cli and Debian's curl with the
// same options (scripts/tls-matrix.sh prints it side by side), then -v and the HAR of a
// verified pass, the proxy's tunnel, and a body ended by a close without close_notify.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/cli/ChildProcess.h"
#include "tests/cli/NginxServer.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/support/TestPki.h"
#include "tests/support/TlsPeer.h"

namespace {

using Strings = std::vector<std::string>;
using clitest::RunProgram;
using clitest::TRunResult;
using testsupport::TTestPki;
const char* const CurlPath = "/usr/bin/curl";
bool HaveCurl() { return ::access(CurlPath, X_OK) == 0; }

// Each listener is its port's default server, so no case needs SNI to pick its certificate;
// nginx loads SHA-1 and RSA 1024 only below OpenSSL's default level.
struct TListener {
  const char* Name;
  const testsupport::TPkiCert TTestPki::*Leaf;
  const char* Extra;
};
const TListener Listeners[] = {
    {"good", &TTestPki::Good, "ssl_protocols TLSv1.2 TLSv1.3;"},
    {"expired", &TTestPki::Expired, ""},
    {"future", &TTestPki::NotYetValid, ""},
    {"wrong", &TTestPki::WrongHost, ""},
    {"wild", &TTestPki::Wildcard, ""},
    {"dotted", &TTestPki::Dotted, ""},
    {"ip", &TTestPki::Ip, ""},
    {"ip6", &TTestPki::Ip6, ""},  // on [::1]
    {"alabel", &TTestPki::ALabel, ""},
    {"self", &TTestPki::SelfSigned, ""},
    {"untrusted", &TTestPki::Untrusted, ""},
    {"leafonly", &TTestPki::LeafOnly, ""},
    {"sha1", &TTestPki::Sha1, "ssl_ciphers DEFAULT:@SECLEVEL=0;"},
    {"rsa1024", &TTestPki::Rsa1024, "ssl_ciphers DEFAULT:@SECLEVEL=0;"},
    {"tls12", &TTestPki::Good, "ssl_protocols TLSv1.2;"},
    {"tls13", &TTestPki::Good, "ssl_protocols TLSv1.3;"},
    {"needcert", &TTestPki::Good, "ssl_verify_client on; ssl_client_certificate {root};"}};

class CliTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::access("/usr/sbin/nginx", X_OK) != 0) return;
    const TTestPki& P = TTestPki::Get();
    // The fixture's own server block is closed at once, and the last listener's left open.
    std::string Blocks = "  }\n";
    for (const TListener& L : Listeners) {
      Ports.push_back(testsupport::FreePort());
      std::string Extra = L.Extra;
      if (const auto At = Extra.find("{root}"); At != std::string::npos)
        Extra.replace(At, 6, P.RootFile);
      const bool Six = std::string_view(L.Name) == "ip6";
      Blocks += std::string("  server { listen ") + (Six ? "[::1]:" : "127.0.0.1:") + std::to_string(Ports.back()) +
                " ssl; root {D}/html; " + "ssl_certificate " + (P.*L.Leaf).Chain +
                "; ssl_certificate_key " + (P.*L.Leaf).Key + "; " + Extra +
                (&L == std::end(Listeners) - 1 ? "\n" : " }\n");
    }
    Nginx = new clitest::TNginxServer(Blocks);
    Nginx->Serve("index.html", "ok\n");
    // A hashed directory holding the root alone, for --capath.
    std::filesystem::create_directory(P.Dir + "/hashed-root");
    std::filesystem::copy_file(P.RootFile, P.Dir + "/hashed-root/root.pem");
    RunProgram({"/usr/bin/openssl", "rehash", P.Dir + "/hashed-root"});
  }
  static void TearDownTestSuite() { delete Nginx; }
  void SetUp() override {
    if (!Nginx) GTEST_SKIP() << "nginx is not installed";
  }

  // "{LISTENER}" is its URL under its leaf's name, with --resolve to 127.0.0.1; {port:LISTENER}
  // its port; {root}, {client}, {clientkey}, {combined}, {encrypted}, {pass}, {dir} the PKI's.
  static Strings Expand(const Strings& Args) {
    const TTestPki& P = TTestPki::Get();
    const std::pair<std::string, std::string> Names[] = {{"{root}", P.RootFile},
                                                         {"{client}", P.Client.Cert},
                                                         {"{clientkey}", P.Client.Key},
                                                         {"{combined}", P.ClientCombined},
                                                         {"{encrypted}", P.ClientKeyEncrypted},
                                                         {"{pass}", P.ClientPassphrase},
                                                         {"{dir}", P.Dir}};
    Strings Out;
    for (std::string A : Args) {
      for (const auto& [Name, Value] : Names)
        if (const auto At = A.find(Name); At != std::string::npos)
          A.replace(At, Name.size(), Value);
      for (std::size_t I = 0; I < std::size(Listeners); ++I) {
        const std::string Name = Listeners[I].Name, Host = (P.*Listeners[I].Leaf).Host;
        const std::string Port = std::to_string(Ports[I]);
        if (A == "{" + Name + "}") {
          Out.insert(Out.end(), {"--resolve", Host + ":" + Port + ":127.0.0.1"});
          A = "https://" + Host + ":" + Port + "/";
        }
        if (const auto At = A.find("{port:" + Name + "}"); At != std::string::npos)
          A.replace(At, Name.size() + 7, Port);
        for (const bool File : {false, true})
          if (const std::string Key = (File ? "{pubkey:" : "{pin:") + Name + "}";
              A.find(Key) != std::string::npos)
            A.replace(A.find(Key), Key.size(), PinOf(P.*Listeners[I].Leaf, File));
      }
      Out.push_back(A);
    }
    return Out;
  }
  // A leaf's public key in a file of its own, or curl's pin of it, made by the openssl command.
  static std::string PinOf(const testsupport::TPkiCert& Leaf, bool File) {
    const std::string Pub = Leaf.Cert + ".pub.pem";
    RunProgram({"/bin/sh", "-c", "openssl x509 -pubkey -noout -in '" + Leaf.Cert + "' >'" + Pub + "'"});
    if (File) return Pub;
    const std::string Hash = RunProgram({"/bin/sh", "-c", "openssl pkey -pubin -in '" + Pub +
                                         "' -outform der | openssl dgst -sha256 -binary | base64"}).Out;
    return "sha256//" + Hash.substr(0, Hash.find('\n'));
  }
  // Either program, with curl's -0 (what orrery-cli always does), no body and -w's TLS facts.
  static TRunResult Run(const std::string& Program, const Strings& Args) {
    Strings Argv{Program,     "-sS", "-o",
                 "/dev/null", "-w",  "%{ssl_verify_result} %{num_certs} %{scheme} %{http_code}"};
    if (Program == CurlPath) Argv.push_back("-0");
    for (const std::string& A : Expand(Args)) Argv.push_back(A);
    return RunProgram(Argv);
  }

  static inline clitest::TNginxServer* Nginx = nullptr;
  static inline std::vector<std::uint16_t> Ports;  // of Listeners, in their order
};

struct MatrixRow {
  const char* Name;
  Strings Args;
  int Status;               // Debian's curl 7.88's, which orrery-cli must give
  const char* Reason = "";  // the start of the plain-words line after curl's
};

// One row a line reads best here.
// clang-format off
const MatrixRow Matrix[] = {
    {"good", {"--cacert", "{root}", "{good}"}, 0},
    {"expired", {"--cacert", "{root}", "{expired}"}, 60,
     "certificate has expired: expired.test's certificate was valid until "},
    {"not yet valid", {"--cacert", "{root}", "{future}"}, 60},
    {"wrong host", {"--cacert", "{root}", "{wrong}"}, 60},
    {"wildcard", {"--cacert", "{root}", "{wild}"}, 0},
    // A name and its fully qualified form are one name, on either side; two final dots are none.
    {"entry with the final dot", {"--cacert", "{root}", "{dotted}"}, 0},
    {"name with the final dot", {"--cacert", "{root}", "--resolve",
     "dotted.test.:{port:dotted}:127.0.0.1", "https://dotted.test.:{port:dotted}/"}, 0},
    {"name with two final dots", {"--cacert", "{root}", "--resolve",
     "dotted.test..:{port:dotted}:127.0.0.1", "https://dotted.test..:{port:dotted}/"}, 60},
    {"IP address", {"--cacert", "{root}", "{ip}"}, 0},
    // An IPv6 address sends no SNI and is checked against the leaf's IP entries; an
    // international name by its A-label.
    {"IPv6 address", {"--cacert", "{root}", "https://[::1]:{port:ip6}/"}, 0},
    {"international name", {"--cacert", "{root}", "--resolve", "xn--bcher-kva.test:{port:alabel}:127.0.0.1",
     "https://b\u00fccher.test:{port:alabel}/"}, 0},
    {"international name, U-label resolved", {"--cacert", "{root}", "--resolve",
     "b\u00fccher.test:{port:alabel}:127.0.0.1", "https://b\u00fccher.test:{port:alabel}/"}, 6},
    {"self-signed", {"--cacert", "{root}", "{self}"}, 60},
    {"untrusted root", {"--cacert", "{root}", "{untrusted}"}, 60},
    {"leaf only", {"--cacert", "{root}", "{leafonly}"}, 60,
     "unknown authority or incomplete chain: "
     "leafonly.test's certificate comes from \"Orrery Test Intermediate\", either an authority "
     "this system was not told to trust (name its certificate with --cacert) or an intermediate "
     "certificate the server did not send"},
    {"SHA-1", {"--cacert", "{root}", "{sha1}"}, 60},
    {"RSA 1024", {"--cacert", "{root}", "{rsa1024}"}, 60},
    {"1.2-only, --tlsv1.3", {"--cacert", "{root}", "--tlsv1.3", "{tls12}"}, 35},
    {"1.3-only, --tls-max 1.2", {"--cacert", "{root}", "--tls-max", "1.2", "{tls13}"}, 35},
    {"1.2-only, --tls-max 1.2", {"--cacert", "{root}", "--tls-max", "1.2", "{tls12}"}, 0},
    // nginx answers a missing client certificate with its own 400: -f makes it show.
    {"client cert wanted, none", {"-f", "--cacert", "{root}", "{needcert}"}, 22},
    {"client cert wanted, -E", {"-f", "--cacert", "{root}", "-E", "{combined}", "{needcert}"}, 0},
    {"client cert, --key", {"-f", "--cacert", "{root}", "-E", "{client}", "--key", "{clientkey}",
     "{needcert}"}, 0},
    {"encrypted key, --pass", {"-f", "--cacert", "{root}", "-E", "{client}", "--key",
     "{encrypted}", "--pass", "{pass}", "{needcert}"}, 0},
    {"encrypted key, -E's pass", {"-f", "--cacert", "{root}", "-E", "{client}:{pass}", "--key",
     "{encrypted}", "{needcert}"}, 0},
    {"encrypted key, no pass", {"-f", "--cacert", "{root}", "-E", "{client}", "--key",
     "{encrypted}", "{needcert}"}, 58},
    {"CA file missing", {"--cacert", "{dir}/no-such.pem", "{good}"}, 77},
    {"CA file empty", {"--cacert", "/dev/null", "{good}"}, 77},
    {"CA dir missing", {"--capath", "{dir}/no-such-dir", "{good}"}, 60},
    {"CA dir with the root", {"--capath", "{dir}/hashed-root", "{good}"}, 0},
    {"-k, self-signed", {"-k", "{self}"}, 0},
    {"-k, untrusted root", {"-k", "{untrusted}"}, 0},
    {"-k, expired", {"-k", "{expired}"}, 0},
    {"system store only", {"{good}"}, 60},
    {"pinned key", {"--cacert", "{root}", "--pinnedpubkey", "{pin:good}", "{good}"}, 0},
    {"another's pinned key", {"--cacert", "{root}", "--pinnedpubkey", "{pin:expired}", "{good}"}, 90},
    {"pinned key, the check fails first", {"--cacert", "{root}", "--pinnedpubkey", "{pin:expired}",
     "{expired}"}, 60},
    {"-k, one of the pinned keys", {"-k", "--pinnedpubkey", "sha256//AAAA;{pin:expired}", "{expired}"}, 0},
    {"-k, pinned key file", {"-k", "--pinnedpubkey", "{pubkey:self}", "{self}"}, 0},
    {"-k, another's pinned key file", {"-k", "--pinnedpubkey", "{pubkey:good}", "{self}"}, 90},
    {"expired, other name, system store", {"--connect-to", "::127.0.0.1:{port:expired}",
     "https://other.test/"}, 60, "certificate issued by an untrusted authority: expired.test's "
     "certificate comes from \"Orrery Test Root\", an authority this system does not trust; "
     "certificate does not match the name asked: the certificate covers expired.test, not "
     "other.test; certificate has expired: expired.test's certificate was valid until "},
    // An entry for another port is not this connection's: 127.0.0.2 would refuse it.
    {"--resolve for another port", {"--resolve", "good.test:1:127.0.0.2", "--cacert", "{root}",
     "{good}"}, 0},
    // The connection moves; the name checked stays the URL's.
    {"--connect-to", {"--cacert", "{root}", "--connect-to", "good.test:443:127.0.0.1:{port:good}",
     "https://good.test/"}, 0},
    {"--connect-to, other name", {"--cacert", "{root}", "--connect-to", "::127.0.0.1:{port:good}",
     "https://wrong.test/"}, 60},
};
// clang-format on

// Each row's status against the expected one and curl's; where both succeed, -w's TLS facts
// against curl's too.
TEST_F(CliTlsTest, MatrixGivesCurlsExitStatus) {
  std::string Table = "orrery-cli  curl  expected  case\n";
  for (const MatrixRow& Row : Matrix) {
    SCOPED_TRACE(Row.Name);
    const TRunResult Ours = Run(ORRERY_CLI_PATH, Row.Args);
    EXPECT_EQ(Ours.Status, Row.Status) << Ours.Err;
    EXPECT_TRUE(!*Row.Reason ||
                Ours.Err.find("\norrery-cli: " + std::string(Row.Reason)) != std::string::npos)
        << Ours.Err;
    const TRunResult Curl = HaveCurl() ? Run(CurlPath, Row.Args) : Ours;
    EXPECT_EQ(Ours.Status, Curl.Status) << "curl: " << Curl.Err;
    EXPECT_TRUE(Row.Status != 0 || Ours.Out == Curl.Out)
        << Ours.Out << " against curl's " << Curl.Out;
    char Line[160];
    std::snprintf(Line, sizeof Line, "%10d  %4s  %8d  %s\n", Ours.Status,
                  HaveCurl() ? std::to_string(Curl.Status).c_str() : "-", Row.Status, Row.Name);
    Table += Line;
  }
  std::fputs(Table.c_str(), stdout);
}

TEST_F(CliTlsTest, VerboseAndHarTellTheSession) {
  const std::string Har = TTestPki::Get().Dir + "/good.har";
  const TRunResult R = Run(ORRERY_CLI_PATH, {"-v", "--har", Har, "--cacert", "{root}", "{good}"});
  // The TLS lines come before the request's, which go only once the check has passed.
  std::size_t At = 0;
  for (const char* Line :
       {"] ALPN: offers h2,http/1.1", "] SSL connection using TLSv1.3 / ",
        "] ALPN: server accepted http/1.1", "]  subject: O=Orrery Tests; CN=good.test",
        "]  subjectAltName: host \"good.test\" matched cert's \"good.test\"",
        "]  issuer: O=Orrery Tests; CN=Orrery Test Intermediate", "]  SSL certificate verify ok.",
        "> GET / HTTP/1.1"})
    ASSERT_NE(At = R.Err.find(Line, At), std::string::npos) << Line << " (in order) in:\n" << R.Err;
  const auto Entry = nlohmann::json::parse(clitest::ReadBytes(Har))["log"]["entries"][0];
  EXPECT_EQ(Entry["_tls"]["verified"], true);
  EXPECT_EQ(Entry["_tls"]["chain"][0]["dnsNames"][0], "good.test");
  EXPECT_GT(Entry["timings"]["ssl"].get<double>(), 0);
}

// A proxy that refuses the tunnel: curl's 56, no body, -i still shows its reply; in the HAR
// the refusal is the pass's exchange, timed from CONNECT, with no TLS. One that opens it:
// -i writes its head before the server's, as curl does (here no TLS server follows).
TEST_F(CliTlsTest, Tunnels) {
  const std::string Refusal = "HTTP/1.0 403 Forbidden\r\nContent-Length: 9\r\n\r\n";
  const std::string Opened = "HTTP/1.0 200 Connection established\r\n\r\n";
  testsupport::ScriptedHttpServer Proxy(
      {testsupport::Whole(Refusal + "forbidden"), testsupport::Whole(Opened)});
  const std::string Har = TTestPki::Get().Dir + "/refused.har",
                    Via = "127.0.0.1:" + std::to_string(Proxy.Port());
  const TRunResult R =
      RunProgram({ORRERY_CLI_PATH, "-i", "--har", Har, "-x", Via, "https://a.test/"});
  EXPECT_EQ(R.Status, 56);
  EXPECT_EQ(R.Out, Refusal);
  EXPECT_NE(R.Err.find("(56) CONNECT tunnel failed, response 403"), std::string::npos) << R.Err;
  const auto Entry = nlohmann::json::parse(clitest::ReadBytes(Har))["log"]["entries"][0];
  EXPECT_EQ(Entry["_tunnel"]["request"], "CONNECT a.test:443 HTTP/1.0\r\nHost: a.test:443\r\n\r\n");
  EXPECT_EQ(Entry["response"]["status"], 403);
  EXPECT_GE(Entry["timings"]["wait"].get<double>(), 0);
  EXPECT_FALSE(Entry.contains("_tls"));
  const TRunResult O = RunProgram({ORRERY_CLI_PATH, "-i", "-x", Via, "https://a.test/"});
  EXPECT_EQ(O.Status, 35);
  EXPECT_EQ(O.Out, Opened);
}

// Through the proxy, orrery-cli and curl alike: --connect-to moves the tunnel (the CONNECT
// line and its Host line), and any reply but a 2xx refuses it with 56, also one the reply
// rules would call weird.
TEST_F(CliTlsTest, TunnelTargetAndRefusalsAsCurls) {
  const std::string Heads[] = {
      "HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.0 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n",
      "HTTP/1.0 407 No\r\nContent-Length: 2\r\nContent-Length: 9\r\n\r\nno"};
  for (const std::string& Head : Heads)
    for (const char* Program : {ORRERY_CLI_PATH, HaveCurl() ? CurlPath : ORRERY_CLI_PATH}) {
      SCOPED_TRACE(Program + (" " + Head.substr(9, 3)));
      testsupport::ScriptedHttpServer Proxy({testsupport::Whole(Head)});
      const TRunResult R =
          RunProgram({Program, "-s", "-x", "127.0.0.1:" + std::to_string(Proxy.Port()),
                      "--connect-to", "a.test:443:b.test:8443", "https://a.test/"});
      EXPECT_EQ(R.Status, 56) << R.Err;
      const std::string Request = Proxy.Requests().at(0);
      EXPECT_EQ(Request.substr(0, Request.find(" HTTP/1.")), "CONNECT b.test:8443");
      EXPECT_NE(Request.find("\r\nHost: b.test:8443\r\n"), std::string::npos) << Request;
    }
}

// A TLS server answers without a length, then closes without close_notify: the body is
// written, the run succeeds as curl's does, and standard error says it may be cut.
TEST_F(CliTlsTest, CloseWithoutCloseNotify) {
  using enum testsupport::TTlsStepKind;
  testsupport::TTlsPeer Peer(TTestPki::Get().Good,
                             {{{Accept}, {ReadRequest}, {Send, "HTTP/1.0 200 OK\r\n\r\ncut"}}});
  const std::string To = std::to_string(Peer.Port());
  const TRunResult R =
      RunProgram({ORRERY_CLI_PATH, "--cacert", TTestPki::Get().RootFile, "--resolve",
                  "good.test:" + To + ":127.0.0.1", "https://good.test:" + To + "/"});
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out, "cut");
  EXPECT_EQ(R.Err, "orrery-cli: the server closed without ending TLS: the body may be cut short\n");
}

}  // namespace
