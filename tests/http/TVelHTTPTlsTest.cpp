// TVelHTTP over TLS against loopback TLS and plain peers: the switch, the body's end by the
// close, credentials and the client certificate across http and https, and the tunnel.
#include "tests/http/HttpFixture.h"
#include "tests/support/TlsPeer.h"

namespace {

using namespace testsupport;
using K = TTlsStepKind;

// clang-format off
class TTlsSteps : public THttpObserver {
 public:
  Lines Log;
  void Connected(THttpTime, std::string_view, std::string_view, int) override { Add("Connected"); }
  void TunnelRequested(THttpTime, std::string_view) override { Add("TunnelRequested"); }
  void TunnelAnswered(THttpTime, std::string_view, int S) override { Add("Tunnel " + std::to_string(S)); }
  void TlsStarted(THttpTime, std::string_view Name) override { Add("TlsStarted " + std::string(Name)); }
  void TlsEnded(THttpTime, const TTlsFacts& F) override { Add("TlsEnded " + F.Version); }
  void HeaderEnded(THttpTime, std::string_view, int S) override { Add("Head " + std::to_string(S)); }
  void BodyMayBeCut(THttpTime) override { Add("BodyMayBeCut"); }

 private:
  void Add(std::string S) { Log.push_back(std::move(S)); }
};
// clang-format on

// A request's bytes hold Text, or (Present false) do not. Request "T1": the TLS peer's
// second connection; "P0": the plain peer's first.
struct TSeen {
  const char* Request;
  std::string Text;
  bool Present = true;
};
struct TTlsHttpCase {
  const char* Name;
  std::vector<TTlsScript> Tls;
  std::vector<ReplyScript> Plain;
  std::string Url;
  std::string Body;
  Lines Steps;  // the observer's, every pass
  std::vector<TSeen> Seen{};
  bool Proxy = false;  // through the TLS peer, which answers CONNECT before it speaks TLS
  bool Secure = true;
  std::string Error{};
  std::vector<bool> ClientCerts{};  // asked for on each TLS connection when not empty
  bool Sink = false;                // the body goes to BodySink
  std::vector<TVelHTTP::TConnectRule> Routes{};  // a ToPort of -1 is the TLS peer's
  std::vector<TVelHTTP::TResolveRule> Resolved{};  // a Port of -1 is the TLS peer's
};
// One row a case reads best here.
// clang-format off
const std::string Ok5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const std::string To(const std::string& Where) {
  return "HTTP/1.0 302 Found\r\nSet-Cookie: s=1\r\nLocation: " + Where + "\r\nContent-Length: 0\r\n\r\n";
}
const TTlsScript Serve5{{K::Accept}, {K::ReadRequest}, {K::Send, Ok5}, {K::CloseNotify}};
const Lines Direct{"Connected", "TlsStarted good.test", "TlsEnded TLSv1.3", "Head 200"};
const Lines Tunneled{"Connected", "TunnelRequested", "Tunnel 200", "TlsStarted good.test",
                     "TlsEnded TLSv1.3", "Head 200"};
const std::string Connect = "CONNECT good.test:{T} HTTP/1.0\r\nHost: good.test:{T}\r\n\r\n";
const TTlsHttpCase TlsHttpCases[] = {
    {"SwitchOffKeepsTheRefusal", {}, {}, "https://good.test:{T}/", "Default.htm", {}, {}, false, false,
     "HTTP Secure Socket is not supported"},
    {"CutAfterTheLengthIsWhole", {{{K::Accept}, {K::ReadRequest}, {K::Send, Ok5}}}, {},
     "https://good.test:{T}/", "hello", Direct},
    {"CutWithoutLengthIsMarked",
     {{{K::Accept}, {K::ReadRequest}, {K::Send, "HTTP/1.0 200 OK\r\n\r\nhello"}}}, {},
     "https://good.test:{T}/", "hello",
     {"Connected", "TlsStarted good.test", "TlsEnded TLSv1.3", "Head 200", "BodyMayBeCut"}},
    {"SinkToCloseNotifyIsWhole",
     {{{K::Accept}, {K::ReadRequest}, {K::Send, "HTTP/1.0 200 OK\r\n\r\nhello"}, {K::CloseNotify}}},
     {}, "https://good.test:{T}/", "hello", Direct, {}, false, true, "", {}, true},
    {"HttpsToHttpOfTheSamePortTakesNoCredentials",
     {{{K::Accept}, {K::ReadRequest}, {K::Send, To("http://good.test:{T}/p")}, {K::CloseNotify}},
      {{K::ReadRaw}, {K::Raw, Ok5}}},
     {}, "https://u:pw@good.test:{T}/", "hello",
     {"Connected", "TlsStarted good.test", "TlsEnded TLSv1.3", "Head 302", "Connected", "Head 200"},
     {{"T0", "Authorization: Basic"}, {"T1", "Authorization", false}, {"T1", "Cookie", false},
      {"T1", "GET /p HTTP/1.0\r\n"}}},
    {"HttpToHttpsOfTheHostTakesItsCookieOnly", {Serve5}, {Whole(To("https://good.test:{T}/s"))},
     "http://u:pw@good.test:{P}/", "hello",
     {"Connected", "Head 302", "Connected", "TlsStarted good.test", "TlsEnded TLSv1.3", "Head 200"},
     {{"P0", "Authorization: Basic"}, {"T0", "Cookie: s=1\r\n"}, {"T0", "Authorization", false}}},
    {"ClientCertificateForTheFirstServerOnly",
     {{{K::Accept}, {K::ReadRequest}, {K::Send, To("https://other.test:{T}/")}, {K::CloseNotify}},
      Serve5},
     {}, "https://good.test:{T}/", "hello",
     {"Connected", "TlsStarted good.test", "TlsEnded TLSv1.3", "Head 302", "Connected",
      "TlsStarted other.test", "TlsEnded TLSv1.3", "Head 200"},
     {}, false, true, "", {true, false}},
    {"TunnelThenTls",
     {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 200 Connection established\r\n\r\n"}, {K::Accept},
       {K::ReadRequest}, {K::Send, Ok5}, {K::CloseNotify}}},
     {}, "https://good.test:{T}/", "hello", Tunneled,
     {{"T0", Connect + "GET / HTTP/1.0\r\nHost: good.test:{T}\r\n"}, {"T0", "Proxy-Connection", false}},
     true},
    {"TunnelRefusedIsTheReply",
     {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 407 Proxy Authentication Required\r\nContent-Length: 4\r\n\r\ndeny"}}},
     {}, "https://good.test:{T}/", "deny", {"Connected", "TunnelRequested", "Tunnel 407", "Head 407"},
     {{"T0", Connect}}, true},
    {"TunnelToAnAddressInBrackets",
     {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 407 No\r\nContent-Length: 0\r\n\r\n"}}},
     {}, "https://[0:0::1]:{T}/", "", {"Connected", "TunnelRequested", "Tunnel 407", "Head 407"},
     {{"T0", "CONNECT [::1]:{T} HTTP/1.0\r\nHost: [::1]:{T}\r\n\r\n"}}, true},
    // The reply rules that make a server's reply weird do not apply to a refusal; a length
    // that cannot be trusted reads no body.
    {"TunnelSwitchIsARefusal", {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 101 Switching\r\nUpgrade: x\r\n\r\n"}}}, {},
     "https://good.test:{T}/", "", {"Connected", "TunnelRequested", "Tunnel 101", "Head 101"},
     {{"T0", Connect}}, true},
    {"TunnelRefusalOfTwoLengthsReadsNoBody",
     {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 407 No\r\nContent-Length: 2\r\nContent-Length: 4\r\n\r\nno"}}},
     {}, "https://good.test:{T}/", "", {"Connected", "TunnelRequested", "Tunnel 407", "Head 407"},
     {{"T0", Connect}}, true},
    {"TunnelRedirectionIsNotFollowed", {{{K::ReadRaw}, {K::Raw, To("https://good.test:{T}/x")}}}, {},
     "https://good.test:{T}/", "", {"Connected", "TunnelRequested", "Tunnel 302", "Head 302"},
     {{"T0", Connect}}, true},
    // Only the connection moves: the name checked, the SNI and the Host line stay the URL's.
    {"RoutedByTheFirstRuleThatMatches", {Serve5}, {}, "https://good.test/", "hello", Direct,
     {{"T0", "GET / HTTP/1.0\r\nHost: good.test\r\n"}}, false, true, "", {}, false,
     {{"other.test", 0, "127.0.0.1", 1}, {"GOOD.test", 443, "", -1}, {"", 0, "127.0.0.1", 1}}},
    {"NotRoutedByRulesForOthers", {Serve5}, {}, "https://good.test:{T}/", "hello", Direct, {},
     false, true, "", {}, false, {{"good.test", 443, "", 1}, {"other.test", 0, "", 1}}},
    {"RoutedToANameOfAGivenAddress", {Serve5}, {}, "https://good.test/", "hello", Direct, {},
     false, true, "", {}, false, {{"good.test", 0, "peer.example", -1}},
     {{"peer.example", 443, "127.0.0.2"}, {"PEER.example", -1, "127.0.0.1"}}},
    {"RoutedTunnelThroughTheProxy",
     {{{K::ReadRaw}, {K::Raw, "HTTP/1.0 200 Connection established\r\n\r\n"}, {K::Accept},
       {K::ReadRequest}, {K::Send, Ok5}, {K::CloseNotify}}},
     {}, "https://good.test/", "hello", Tunneled,
     {{"T0", Connect + "GET / HTTP/1.0\r\nHost: good.test\r\n"}}, true, true, "", {}, false,
     {{"good.test", 443, "", -1}}},
};
// clang-format on
void PrintTo(const TTlsHttpCase& C, std::ostream* Os) { *Os << C.Name; }

class TlsHttp : public HttpTest, public ::testing::WithParamInterface<TTlsHttpCase> {};

TEST_P(TlsHttp, Row) {
  const TTlsHttpCase& C = GetParam();
  TTlsPeer Tls(TTestPki::Get().Good, C.Tls);
  ScriptedHttpServer Plain(C.Plain);
  const auto Ports = [&](std::string S) {
    S = Replaced(std::move(S), "{T}", std::to_string(Tls.Port()));
    return Replaced(std::move(S), "{P}", std::to_string(Plain.Port()));
  };
  Plain.Define("{T}", std::to_string(Tls.Port()));
  if (!C.ClientCerts.empty()) Tls.AskCertificate();
  TVelHTTP& H = Make();
  TTlsSteps Steps;
  H.AddObserver(Steps);
  H.SecureSocket = C.Secure;
  H.TlsSettings.CaFile = TTestPki::Get().RootFile;
  H.TlsSettings.Verify = C.ClientCerts.empty();  // other.test is served good.test's certificate
  H.TlsSettings.CertFile = TTestPki::Get().Client.Cert;
  H.TlsSettings.KeyFile = TTestPki::Get().Client.Key;
  H.HeaderInfo.Cookie = "c=1";
  if (C.Proxy) {
    H.Proxy = "127.0.0.1";
    H.ProxyPort = Tls.Port();
  }
  for (TVelHTTP::TConnectRule R : C.Routes) {
    if (R.ToPort < 0) R.ToPort = Tls.Port();
    H.ConnectRules.push_back(R);
  }
  for (TVelHTTP::TResolveRule R : C.Resolved) {
    if (R.Port < 0) R.Port = Tls.Port();
    H.ResolveRules.push_back(R);
  }
  std::string Sunk;
  if (C.Sink) H.BodySink = [&](std::string_view Block) { Sunk += Block; };
  EXPECT_EQ(ErrorOf([&] { H.Get(Ports(C.Url)); }), C.Error);
  EXPECT_EQ(C.Sink ? Sunk : H.Body, C.Body);
  EXPECT_EQ(Steps.Log, C.Steps);
  EXPECT_EQ(H.BodyMayBeCut(), !C.Steps.empty() && C.Steps.back() == "BodyMayBeCut");
  EXPECT_EQ(H.TunnelRefused(), C.Proxy && C.Steps.back() != "Head 200");
  ASSERT_TRUE(Tls.Finished());
  const std::vector<std::string> FromTls = Tls.Received(), FromPlain = Plain.Requests();
  for (const TSeen& S : C.Seen) {
    const auto& List = S.Request[0] == 'T' ? FromTls : FromPlain;
    const auto Index = static_cast<std::size_t>(S.Request[1] - '0');
    ASSERT_LT(Index, List.size()) << S.Request;
    EXPECT_EQ(List[Index].find(Ports(S.Text)) != std::string::npos, S.Present)
        << S.Request << " " << S.Text;
  }
  EXPECT_EQ(C.ClientCerts.empty() ? C.ClientCerts : Tls.ClientCertificates(), C.ClientCerts);
  // A refusal raises OnFailure alone: no redirection, whatever its status.
  if (H.TunnelRefused()) {
    EXPECT_EQ(Log, (Lines{"AboutToSend", "Failure 0"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TlsHttp, ::testing::ValuesIn(TlsHttpCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// The Host line names the port unless it is the scheme's own, https's on 80 included. The
// request is stopped once composed: no server is needed on these ports.
TEST_F(HttpTest, HostLineNamesAPortNotTheSchemes) {
  const std::pair<const char*, const char*> Cases[] = {{"https://a.test/", "a.test"},
                                                       {"https://a.test:80/", "a.test:80"},
                                                       {"http://a.test:443/", "a.test:443"},
                                                       {"http://a.test/", "a.test"},
                                                       {"https://a.test:8443/", "a.test:8443"}};
  for (const auto& [Url, Host] : Cases) {
    TVelHTTP& H = MakeBare();
    H.SecureSocket = true;
    std::string Sent;
    H.OnAboutToSend = [&](TObject*) {
      Sent = H.RequestHeaderSent();
      H.Abort();
    };
    ErrorOf([&] { H.Get(Url); });
    EXPECT_NE(Sent.find("\r\nHost: " + std::string(Host) + "\r\n"), std::string::npos) << Sent;
  }
}

}  // namespace
