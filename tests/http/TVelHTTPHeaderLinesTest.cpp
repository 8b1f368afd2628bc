// The request's header lines beyond the fixed ones: the caller's CustomHeaders, credentials
// in the URL, the Host line's port, the proxy port check, and which lines a redirection to
// another server no longer carries.
#include <vector>

#include "http/FixedLines.h"
#include "tests/http/HttpFixture.h"

using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

const std::string Accept =
    "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff\r\n"
    "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript\r\n";
const std::string FormType = "Content-type: application/x-www-form-urlencoded\r\n";
const std::string Plain = "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + FormType + "\r\n";

struct LinesCase {
  const char* Name;
  std::string URL;
  std::vector<std::string> Custom;
  std::function<void(TVelHTTP&)> Setup;
  std::string Expected;  // the header block, or the error's text
};

const LinesCase LinesCases[] = {
    {"None", "http://h.test/x", {}, nullptr, Plain},
    {"ReplacesBothAcceptLinesAtTheFirst",
     "http://h.test/x",
     {"accept: */*"},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\naccept: */*\r\n" + FormType + "\r\n"},
    {"RemovesWithAnEmptyValue",
     "http://h.test/x",
     {"Accept:", "Content-Type:  "},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n\r\n"},
    {"RemovingWhatIsNotThereIsNothing", "http://h.test/x", {"Cookie:"}, nullptr, Plain},
    {"AddsANewName",
     "http://h.test/x",
     {"X-A: 1", "X-B:\t2"},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + FormType + "X-A: 1\r\nX-B: 2\r\n\r\n"},
    // Repeated lines of a name are all sent; only the first replaces the composed ones.
    {"RepeatedNewNameIsSentEachTime",
     "http://h.test/x",
     {"X-A: 1", "X-B: 1", "x-a: 2"},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + FormType +
         "X-A: 1\r\nX-B: 1\r\nx-a: 2\r\n\r\n"},
    {"RepeatedComposedNameReplacesItOnce",
     "http://h.test/x",
     {"Accept: a", "Accept: b", "Accept:", "Accept: c"},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\nAccept: a\r\nAccept: b\r\nAccept: c\r\n" + FormType +
         "\r\n"},
    {"BlanksAtTheEndOfAValueAreNotSent",
     "http://h.test/x",
     {"X-A: 1 \t", "X-B:\t2  "},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + FormType + "X-A: 1\r\nX-B: 2\r\n\r\n"},
    {"ReplacesHostAndTheHeaderInfoLines",
     "http://h.test:8080/x",
     {"Host: other", "User-Agent: mine", "COOKIE: c=2", "Referer: r2", "From: f2"},
     [](TVelHTTP& H) {
       H.HeaderInfo.LocalProgram = "p";
       H.HeaderInfo.LocalMailAddress = "m";
       H.HeaderInfo.Cookie = "c=1";
       H.HeaderInfo.Referer = "r";
     },
     "GET /x HTTP/1.0\r\nHost: other\r\n" + Accept +
         "User-Agent: mine\r\nFrom: f2\r\nCOOKIE: c=2\r\nReferer: r2\r\n" + FormType + "\r\n"},
    {"HostCarriesAPortOtherThan80",
     "h.test:8080/x",
     {},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test:8080\r\n" + Accept + FormType + "\r\n"},
    {"ThroughAProxyToo",
     "http://h.test:81/x",
     {"X: y"},
     [](TVelHTTP& H) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = 3128;
     },
     "GET http://h.test:81/x HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: h.test:81\r\n" +
         Accept + FormType + "X: y\r\n\r\n"},
    // An IPv6 address goes out in brackets, in its canonical text, as curl sends it.
    {"AddressInBrackets", "http://[0:0::1]:8080/x", {}, nullptr,
     "GET /x HTTP/1.0\r\nHost: [::1]:8080\r\n" + Accept + FormType + "\r\n"},
    {"BareAddressAsHost", "/x", {}, [](TVelHTTP& H) { H.Host = "2001:db8::1"; },
     "GET /x HTTP/1.0\r\nHost: [2001:db8::1]\r\n" + Accept + FormType + "\r\n"},
    {"AddressThroughAProxy", "http://[::1]:8080/x", {},
     [](TVelHTTP& H) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = 3128;
     },
     "GET http://[::1]:8080/x HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: [::1]:8080\r\n" +
         Accept + FormType + "\r\n"},
    // Credentials: CustomHeaders, then the URL's, then HeaderInfo's; never in Host or the
    // request line, not even a proxy's.
    {"UrlCredentialsBeforeHeaderInfo",
     "http://u:p@h.test/x",
     {},
     [](TVelHTTP& H) {
       H.HeaderInfo.UserId = "Aladdin";
       H.HeaderInfo.Password = "open sesame";
     },
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + "Authorization: Basic dTpw\r\n" + FormType +
         "\r\n"},
    {"UrlUserWithoutPassword",
     "u@h.test/x",
     {},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + "Authorization: Basic dTo=\r\n" + FormType +
         "\r\n"},
    {"UrlCredentialsThroughAProxy",
     "http://u:p@h.test/x",
     {},
     [](TVelHTTP& H) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = 3128;
     },
     "GET http://h.test/x HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: h.test\r\n" + Accept +
         "Authorization: Basic dTpw\r\n" + FormType + "\r\n"},
    {"CustomAuthorizationFirst",
     "http://u:p@h.test/x",
     {"Authorization: Bearer t"},
     nullptr,
     "GET /x HTTP/1.0\r\nHost: h.test\r\n" + Accept + "Authorization: Bearer t\r\n" + FormType +
         "\r\n"},
    // Refused before anything is composed.
    {"CrLfInALine",
     "http://h.test/x",
     {"X: a\r\nY: b"},
     nullptr,
     "Invalid character (CR, LF or NUL) in CustomHeaders"},
    {"NulInALine",
     "http://h.test/x",
     {std::string("X: a\0", 5)},
     nullptr,
     "Invalid character (CR, LF or NUL) in CustomHeaders"},
    {"ContentLength",
     "http://h.test/x",
     {"content-length: 5"},
     nullptr,
     "Content-Length cannot be set in CustomHeaders"},
    {"NoColon",
     "http://h.test/x",
     {"X-A 1"},
     nullptr,
     "Invalid header line in CustomHeaders: X-A 1"},
    {"NoName", "http://h.test/x", {": 1"}, nullptr, "Invalid header line in CustomHeaders: : 1"},
    {"BlankInName",
     "http://h.test/x",
     {"X A: 1"},
     nullptr,
     "Invalid header line in CustomHeaders: X A: 1"},
    {"ProxyPortTooLarge",
     "http://h.test/x",
     {},
     [](TVelHTTP& H) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = 99999;
     },
     "Invalid proxy port: 99999"},
    {"ProxyPortZero",
     "http://h.test/x",
     {},
     [](TVelHTTP& H) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = 0;
     },
     "Invalid proxy port: 0"},
    {"ProxyPortUnusedWithoutProxy",
     "http://h.test/x",
     {},
     [](TVelHTTP& H) { H.ProxyPort = 99999; },
     Plain},
    {"HostWithABlank", "/x", {}, [](TVelHTTP& H) { H.Host = "a b"; }, "Invalid host in URL: a b"},
};

void PrintTo(const LinesCase& C, std::ostream* Os) { *Os << C.Name; }

class HeaderLines : public HttpTest, public ::testing::WithParamInterface<LinesCase> {};

TEST_P(HeaderLines, AreComposedAsTheCallerAsked) {
  const LinesCase& C = GetParam();
  auto& H = Make();
  H.URL = C.URL;
  H.CustomHeaders = C.Custom;
  if (C.Setup) C.Setup(H);
  const std::string Error = ErrorOf([&] {
    H.SplitURL();
    H.ComposeRequest();
  });
  EXPECT_EQ(Error.empty() ? H.RequestHeaderSent() : Error, C.Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeaderLines, ::testing::ValuesIn(LinesCases),
                         [](const auto& I) { return std::string(I.param.Name); });

bool HasName(const std::string& Request, const std::string& Name) {
  return Request.find("\r\n" + Name + ": ") != std::string::npos;
}

// Authorization and the caller's Cookie lines go to the first pass's server only, whatever
// their source; a cookie the redirection set goes on as its pair, to its own host only.
// The constants others show a request by are the lines the component sends.
TEST(FixedLines, AreTheLinesSent) {
  EXPECT_EQ(std::string(FirstAcceptLine) + "\r\n" + std::string(SecondAcceptLine) + "\r\n", Accept);
  EXPECT_EQ(std::string(ContentTypeLine) + "\r\n", FormType);
  for (const LinesCase& C : LinesCases)
    if (std::string_view(C.Name) == "ThroughAProxyToo") {
      EXPECT_NE(C.Expected.find(std::string(ProxyConnectionLine) + "\r\n"), std::string::npos);
    }
}

TEST_F(HttpTest, CredentialsAndCookiesStayWithTheFirstServer) {
  const std::vector<std::string> Trace = {"X-Trace: 7"};
  const std::vector<std::string> Own = {"Authorization: Bearer t", "Cookie: c=1", "X-Trace: 7"};
  const struct {
    const char* Name;
    std::vector<std::string> Custom;
    std::string SetCookie;
    bool UrlCredentials;
    std::string OtherHost;  // where the redirection leads: another host, or this one's
    std::string Cookie;     // the Cookie value the second server gets; "" for none
  } Cases[] = {
      {"custom", Own, "", false, "other.test", ""},
      {"url and caller's cookie", Trace, "", true, "other.test", ""},
      {"server's cookie to another port", Trace, "k=v; Path=/; HttpOnly", true, "127.0.0.1", "k=v"},
      {"server's cookie beside the caller's", Own, " k = v ;Secure", false, "127.0.0.1", "k=v"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    ScriptedHttpServer Other({Whole("HTTP/1.0 200 OK\r\n\r\nthere")});
    const std::string SetCookie = C.SetCookie.empty() ? "" : "Set-Cookie: " + C.SetCookie + "\r\n";
    const std::string OtherAt = C.OtherHost + ":" + std::to_string(Other.Port());
    ScriptedHttpServer Main({Whole("HTTP/1.0 302 Found\r\n" + SetCookie + "Location: http://" +
                                   OtherAt + "/there\r\n\r\n")});
    auto& H = Make();
    H.CustomHeaders = C.Custom;
    H.HeaderInfo.Cookie = C.UrlCredentials ? "mine=1" : "";
    const std::string Creds = C.UrlCredentials ? "u:p@" : "";
    H.Get("http://" + Creds + "127.0.0.1:" + std::to_string(Main.Port()) + "/start");
    ASSERT_EQ(Main.Requests().size(), 1u);
    ASSERT_EQ(Other.Requests().size(), 1u);
    const std::string First = Main.Requests()[0];
    const std::string Second = Other.Requests()[0];
    EXPECT_TRUE(HasName(First, "Authorization")) << First;
    EXPECT_TRUE(HasName(First, "Cookie")) << First;
    EXPECT_FALSE(HasName(Second, "Authorization")) << Second;
    EXPECT_EQ(HasName(Second, "Cookie"), !C.Cookie.empty()) << Second;
    if (!C.Cookie.empty()) {
      EXPECT_NE(Second.find("\r\nCookie: " + C.Cookie + "\r\n"), std::string::npos) << Second;
    }
    EXPECT_TRUE(HasName(Second, "X-Trace")) << Second;
    EXPECT_EQ(Second.find("u:p"), std::string::npos);
    EXPECT_NE(Second.find("\r\nHost: " + OtherAt + "\r\n"), std::string::npos);
    // HeaderInfo keeps the server's cookie; the next request of the component to another
    // host still does not carry it.
    ScriptedHttpServer Next({Whole("HTTP/1.0 200 OK\r\n\r\nnext")});
    H.Get("http://other.test:" + std::to_string(Next.Port()) + "/next");
    ASSERT_EQ(Next.Requests().size(), 1u);
    EXPECT_EQ(Next.Requests()[0].find("k=v"), std::string::npos) << Next.Requests()[0];
  }
}

}  // namespace
