// Rendering a request as a command: the shell quoting and both commands by tables, and the
// curl command run against a scripted server, which must receive the same request.
#include "inspect/TCommandRenderer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/HostName.h"
#include "http/THttpUrl.h"
#include "tests/inspect/InspectFixture.h"
#include "tests/inspect/SameRequest.h"

using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

TEST(ShellQuote, QuotesOnlyWhatTheShellWouldRead) {
  const std::vector<std::pair<std::string, std::string>> Rows = {
      {"plain", "plain"},
      {"http://h:8080/a,b.c_d-e@f%20+g=h", "http://h:8080/a,b.c_d-e@f%20+g=h"},
      {"", "''"},
      {"two words", "'two words'"},
      {"it's", "'it'\\''s'"},
      {"'", "''\\'''"},
      {"''", "''\\'''\\'''"},
      {"a\nb", "'a\nb'"},
      {"$HOME `x` \"q\" \\ * ? [a] ~ ! # & ; | < > ( ) { }",
       "'$HOME `x` \"q\" \\ * ? [a] ~ ! # & ; | < > ( ) { }'"},
      {"http://h/?a=1&b=2", "'http://h/?a=1&b=2'"},
      {"caf\xC3\xA9", "'caf\xC3\xA9'"},
  };
  for (const auto& [Word, Quoted] : Rows)
    EXPECT_EQ(TCommandRenderer::ShellQuote(Word), Quoted) << Word;
}

TEST(PrintfFormat, PrintsTheBytesBack) {
  const std::vector<std::pair<std::string, std::string>> Rows = {
      {"plain", "plain"},
      {"100% \\n", "100%% \\\\n"},
      {std::string("x\0y", 3), "x\\000y"},
      {"a\r\nb\tc\x1b\x7f", "a\\015\nb\tc\\033\\177"},
      {"-n", "\\055n"},
      {"a-", "a-"},
      {"@file", "@file"},
      {"caf\xC3\xA9 '", "caf\xC3\xA9 '"},
  };
  for (const auto& [Bytes, Format] : Rows)
    EXPECT_EQ(TCommandRenderer::PrintfFormat(Bytes), Format) << Bytes;
}

// --- Both commands of a pass --------------------------------------------------------------

const std::string A1 = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
const std::string A2 = "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript";
const std::string Form = "Content-type: application/x-www-form-urlencoded";
const std::string QA1 = "'" + A1 + "'";
const std::string QA2 = "'" + A2 + "'";
const std::string QForm = "'" + Form + "'";

// A pass as the component composes it: the request line, the Host line, the two Accept
// lines, Extra, the form Content-type, Tail, and a Content-Length when there is a body.
TExchangePass Composed(const std::string& Method, const std::string& URL,
                       const std::vector<std::string>& Extra = {},
                       const std::optional<std::string>& Body = std::nullopt,
                       const std::vector<std::string>& Tail = {}) {
  TExchangePass P;
  P.Method = Method;
  P.URL = URL;
  const THttpUrl U = THttpUrl::SplitReference(URL);
  P.RequestHeader = Method + " " + U.RequestTarget() + " HTTP/1.0\r\nHost: " +
                    HostName::InAuthority(U.Host) + "\r\n" +
                    A1 + "\r\n" + A2 + "\r\n";
  for (const std::string& L : Extra) P.RequestHeader += L + "\r\n";
  P.RequestHeader += Form + "\r\n";
  for (const std::string& L : Tail) P.RequestHeader += L + "\r\n";
  if (Body) {
    P.RequestHeader += "Content-Length: " + std::to_string(Body->size()) + "\r\n";
    P.RequestBody = *Body;
    P.RequestBodySize = static_cast<std::int64_t>(Body->size());
  }
  P.RequestHeader += "\r\n";
  return P;
}

TExchangePass ViaProxy(const std::string& Proxy = "proxy") {
  TExchangePass P;
  P.Method = "GET";
  P.URL = "http://origin:8080/p";
  P.Proxy = Proxy;
  P.ProxyPort = 3128;
  P.RequestHeader =
      "GET http://origin:8080/p HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
      "Host: origin\r\n" +
      A1 + "\r\n" + A2 + "\r\n" + Form + "\r\n\r\n";
  return P;
}

TExchangePass Copied() {
  TExchangePass P = Composed("COPY", "http://h/src", {}, std::nullopt, {"URI-header: /dest x"});
  P.TargetURI = "/dest x";
  return P;
}

TExchangePass WithoutAccept() {
  TExchangePass P;
  P.Method = "GET";
  P.URL = "http://h/";
  P.RequestHeader = "GET / HTTP/1.0\r\nHost: h\r\nUser-Agent: u\r\n\r\n";
  return P;
}

// The look-up of nosuch.test failed, and the owner named 127.0.0.1 instead.
TExchangePass SentElsewhere() {
  TExchangePass P = Composed("GET", "http://nosuch.test:8080/p");
  P.HostQuestion = THostQuestion{1, 2, "127.0.0.1"};
  return P;
}

// An HTTP/1.1 pass is named so by both, whatever either program would choose itself.
TExchangePass Http11() {
  TExchangePass P = WithoutAccept();
  // As a file may write it: the version's case is no part of it.
  P.RequestHeader.replace(P.RequestHeader.find("HTTP/1.0"), 8, "http/1.1");
  return P;
}

// Spoken over HTTP/2: by ALPN over https, by prior knowledge over plain http.
TExchangePass Http2(const std::string& URL) {
  TExchangePass P = WithoutAccept();
  P.URL = URL;
  P.RequestHeader = "GET / HTTP/2\r\nHost: h\r\nUser-Agent: u\r\n\r\n";
  return P;
}

struct CommandCase {
  std::string Name;
  TExchangePass Pass;
  std::string OrreryCli;
  std::string Curl;
};

std::vector<CommandCase> CommandCases() {
  const std::string Headers = "-H 'Host: 127.0.0.1' -H " + QA1 + " -H " + QA2;
  return {
      {"plain GET", Composed("GET", "http://127.0.0.1:8080/p"),
       "orrery-cli -0 -X GET http://127.0.0.1:8080/p",
       "curl -0 -X GET " + Headers + " -H " + QForm + " -H User-Agent: http://127.0.0.1:8080/p"},
      {"fields with blanks and quotes",
       Composed("GET", "http://h/x?a=1&b=2", {"User-Agent: a b", "Cookie: it's", "Referer: r"}),
       "orrery-cli -0 -X GET -H 'User-Agent: a b' -H 'Cookie: it'\\''s' -H 'Referer: r' "
       "'http://h/x?a=1&b=2'",
       "curl -0 -X GET -H " + QA1 + " -H " + QA2 +
           " -H 'User-Agent: a b' -H 'Cookie: it'\\''s' -H 'Referer: r' -H " + QForm +
           " 'http://h/x?a=1&b=2'"},
      {"POST with quotes, blanks and a newline",
       Composed("POST", "http://h/f", {"Authorization: Basic dTpw"}, "a=1&b=it's\nnext line"),
       "orrery-cli -0 -X POST -H 'Authorization: Basic dTpw' --data-binary "
       "'a=1&b=it'\\''s\nnext line' http://h/f",
       "curl -0 -X POST -H " + QA1 + " -H " + QA2 + " -H 'Authorization: Basic dTpw' -H " + QForm +
           " -H User-Agent: --data-binary 'a=1&b=it'\\''s\nnext line' http://h/f"},
      {"empty body", Composed("PUT", "http://h/", {}, ""),
       "orrery-cli -0 -X PUT --data-binary '' http://h/",
       "curl -0 -X PUT -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: --data-binary '' http://h/"},
      {"body with NUL and CR", Composed("PUT", "http://h/", {}, std::string("x\0y\r", 4)),
       "printf 'x\\000y\\015' | orrery-cli -0 -X PUT --data-binary @- http://h/",
       "printf 'x\\000y\\015' | curl -0 -X PUT -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: --data-binary @- http://h/"},
      {"body that names a file", Composed("POST", "http://h/", {}, "@/etc/passwd"),
       "printf @/etc/passwd | orrery-cli -0 -X POST --data-binary @- http://h/",
       "printf @/etc/passwd | curl -0 -X POST -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: --data-binary @- http://h/"},
      {"HEAD", Composed("HEAD", "http://h/"), "orrery-cli -0 -I http://h/",
       "curl -0 -I -H " + QA1 + " -H " + QA2 + " -H " + QForm + " -H User-Agent: http://h/"},
      {"proxy", ViaProxy(), "orrery-cli -0 -X GET -x proxy:3128 http://origin:8080/p",
       "curl -0 -X GET -H 'Proxy-Connection: Keep-Alive' -H 'Host: origin' -H " + QA1 + " -H " +
           QA2 + " -H " + QForm + " -H User-Agent: -x proxy:3128 http://origin:8080/p"},
      {"IPv6 proxy", ViaProxy("::1"), "orrery-cli -0 -X GET -x '[::1]:3128' http://origin:8080/p",
       "curl -0 -X GET -H 'Proxy-Connection: Keep-Alive' -H 'Host: origin' -H " + QA1 + " -H " +
           QA2 + " -H " + QForm + " -H User-Agent: -x '[::1]:3128' http://origin:8080/p"},
      {"codings offered", Composed("GET", "http://h/p", {"Accept-Encoding: deflate, gzip, br, zstd"}),
       "orrery-cli -0 --compressed -X GET http://h/p",
       "curl -0 --compressed -X GET -H " + QA1 + " -H " + QA2 +
           " -H 'Accept-Encoding: deflate, gzip, br, zstd' -H " + QForm + " -H User-Agent: http://h/p"},
      {"COPY with its target", Copied(), "orrery-cli -0 -X COPY --target '/dest x' http://h/src",
       "curl -0 -X COPY -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H 'URI-header: /dest x' -H User-Agent: http://h/src"},
      {"URL curl would change", Composed("GET", "http://h/a/../b[1-2]{x}"),
       "orrery-cli -0 -X GET 'http://h/a/../b[1-2]{x}'",
       "curl -0 -g --path-as-is -X GET -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: 'http://h/a/../b[1-2]{x}'"},
      // curl knows an IPv6 literal for none of its globs.
      {"address in brackets", Composed("GET", "http://[::1]:8080/p"),
       "orrery-cli -0 -X GET 'http://[::1]:8080/p'",
       "curl -0 -X GET -H 'Host: [::1]' -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: 'http://[::1]:8080/p'"},
      {"composed lines missing", WithoutAccept(),
       "orrery-cli -0 -X GET -H 'User-Agent: u' -H Accept: -H Content-type: http://h/",
       "curl -0 -X GET -H 'User-Agent: u' -H Accept: http://h/"},
      {"HTTP/1.1", Http11(),
       "orrery-cli --http1.1 -X GET -H 'User-Agent: u' -H Accept: -H Content-type: http://h/",
       "curl --http1.1 -X GET -H 'User-Agent: u' -H Accept: http://h/"},
      {"HTTP/2", Http2("https://h/"),
       "orrery-cli --http2 -X GET -H 'User-Agent: u' -H Accept: -H Content-type: https://h/",
       "curl --http2 -X GET -H 'User-Agent: u' -H Accept: https://h/"},
      {"h2c", Http2("http://h/"),
       "orrery-cli --http2-prior-knowledge -X GET -H 'User-Agent: u' -H Accept: -H Content-type: "
       "http://h/",
       "curl --http2-prior-knowledge -X GET -H 'User-Agent: u' -H Accept: http://h/"},
      {"another host given", SentElsewhere(),
       "orrery-cli -0 -X GET -H 'Host: nosuch.test' http://127.0.0.1:8080/p",
       "curl -0 -X GET -H 'Host: nosuch.test' -H " + QA1 + " -H " + QA2 + " -H " + QForm +
           " -H User-Agent: --connect-to nosuch.test:8080:127.0.0.1:8080 "
           "http://nosuch.test:8080/p"},
  };
}

TEST(CommandRenderer, RendersBothCommands) {
  for (const CommandCase& C : CommandCases()) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(TCommandRenderer::OrreryCli(C.Pass), C.OrreryCli);
    EXPECT_EQ(TCommandRenderer::Curl(C.Pass), C.Curl);
  }
}

// A certificate accepted after its refusal is waived for its key alone; -k alone without one.
TEST(CommandRenderer, TlsOptionsWaiveNoMoreThanThePassDid) {
  TExchangePass P = Composed("GET", "https://a.test:8443/");
  P.Tls = TTlsFacts{};
  P.Tls->Chain.resize(1);
  P.Tls->Chain[0].Sha256 = "AB:CD", P.Tls->Chain[0].PublicKeySha256 = "K+y/=";
  const auto With = [](bool Verify, std::vector<TTlsAccepted> Accepted, std::string CaFile = "") {
    TTlsSettings S;
    S.Verify = Verify, S.Accepted = std::move(Accepted), S.CaFile = std::move(CaFile);
    return S;
  };
  const TTlsAccepted Leaf{"A.test", 8443, "AB:CD"};
  const std::pair<TTlsSettings, std::string> Rows[] = {
      {With(true, {}, "/ca dir/root.pem"), " --cacert '/ca dir/root.pem'"},
      {With(false, {}), " -k"},
      {With(true, {Leaf}, "r.pem"), " -k --pinnedpubkey sha256//K+y/= --cacert r.pem"},
      {With(true, {{"a.test", 443, "AB:CD"}, {"a.test", 8443, "EF"}}), ""}};
  for (const auto& [Settings, Options] : Rows)
    EXPECT_EQ(TCommandRenderer::TlsOptions(P, Settings), Options);
  // The scheme's own port, whatever case the scheme was typed in.
  P.URL = "HTTPS://a.test/";
  EXPECT_EQ(TCommandRenderer::TlsOptions(P, With(true, {{"a.test", 443, "AB:CD"}})),
            " -k --pinnedpubkey sha256//K+y/=");
  P.URL = "https://a.test:8443/";
  P.Tls->Chain[0].PublicKeySha256.clear();
  EXPECT_EQ(TCommandRenderer::TlsOptions(P, With(true, {Leaf})), " -k");
  P.URL = "http://a.test:8443/";
  EXPECT_EQ(TCommandRenderer::TlsOptions(P, With(false, {})), "");
}

// --- The curl command run -----------------------------------------------------------------

struct RunCase {
  std::string Name;
  std::function<void(TVelHTTP&, const std::string& URL)> Request;
};

void PrintTo(const RunCase& C, std::ostream* Os) { *Os << C.Name; }

class CurlRun : public InspectTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(CurlRun, SendsTheSameRequest) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no curl here";
  ScriptedHttpServer Server(
      {Whole("HTTP/1.0 200 OK\r\n\r\nfirst"), Whole("HTTP/1.0 200 OK\r\n\r\nagain")});
  Http->HeaderInfo.LocalProgram = "Orrery test/1.0 (it's)";
  Http->HeaderInfo.Cookie = "a=1; b=\"two words\"";
  Http->HeaderInfo.UserId = "user";
  Http->HeaderInfo.Password = "pa ss";
  Record();
  GetParam().Request(*Http, At(Server.Port(), "/path?q=1&r=%20"));
  ASSERT_EQ(Recorder->Passes().size(), 1u);
  const std::string Command = TCommandRenderer::Curl(Recorder->Passes()[0]);
  // Read by the shell, as a paste into a terminal is: "sh -c" would make the whole command
  // one word, which no program can be started with past 128 KiB.
  FILE* Shell = ::popen("timeout 20 sh >/dev/null 2>&1", "w");
  std::fputs(Command.c_str(), Shell);
  const int Status = ::pclose(Shell);
  ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Command.substr(0, 2000);
  const auto Received = Server.Requests();
  ASSERT_EQ(Received.size(), 2u);
  EXPECT_EQ(ComparableRequest(Received[1]), ComparableRequest(Received[0])) << Command;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CurlRun,
    ::testing::Values(
        RunCase{"Get", [](TVelHTTP& H, const std::string& U) { H.Get(U); }},
        RunCase{"Delete", [](TVelHTTP& H, const std::string& U) { H.Delete(U); }},
        RunCase{"PostWithQuotesAndNewline",
                [](TVelHTTP& H, const std::string& U) { H.Post(U, "a=1&b='x'\nline two"); }},
        RunCase{"PutWithNul",
                [](TVelHTTP& H, const std::string& U) { H.Put(U, std::string("@x\0y%\\", 6)); }},
        RunCase{"Move", [](TVelHTTP& H, const std::string& U) { H.Move(U, "/to it's"); }},
        RunCase{"PostWithoutContentType",
                [](TVelHTTP& H, const std::string& U) {
                  H.CustomHeaders = {"Content-type:"};
                  H.Post(U, "a=1");
                }},
        RunCase{"PutOfLongText",
                [](TVelHTTP& H, const std::string& U) { H.Put(U, std::string(200 << 10, 't')); }}),
    [](const auto& Info) { return Info.param.Name; });

}  // namespace
