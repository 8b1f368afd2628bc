// The replay: its URL and credential rules by tables, and entries sent again to a scripted
// server that shows what it received.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "inspect/THarWriter.h"
#include "inspect/TPassReplay.h"
#include "tests/http/HttpFixture.h"
#include "tests/inspect/InspectFixture.h"
#include "tests/integration/ServerProcess.h"
#include "tests/support/CodedBodies.h"
#include "tests/support/TlsPeer.h"

using namespace testsupport;
using enum TReplayOutcome;

namespace {

const std::string Ok = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

// An entry recorded as Method URL with Fields and Body, its reply Reply (head and body).
THarEntry Entry(std::string Method, std::string URL, std::vector<THeaderField> Fields = {},
                const std::string& Reply = Ok + "hello", std::string Body = "") {
  THarEntry E;
  E.Fields = std::move(Fields);
  TExchangePass& P = E.Pass;
  P.Method = std::move(Method);
  P.URL = std::move(URL);
  P.RequestBodySize = std::ssize(Body);
  P.RequestBody = std::move(Body);
  const auto End = Reply.find("\r\n\r\n") + 4;
  P.ReplyHeader = Reply.substr(0, End);
  P.ReplyNumber = std::stoi(Reply.substr(9, 3));
  P.Body = Reply.substr(End);
  P.BodyBytes = std::ssize(P.Body);
  return E;
}

const std::vector<THeaderField> Private = {
    {"Authorization", "Basic YTpi"}, {"Cookie", "s=1"}, {"X-Trace", "7"},
    {"accept-encoding", "gzip, br"}};

TEST(ReplayRules, Rebase) {
  // clang-format off
  const struct { std::string URL, Base, Out; } Cases[] = {
      {"https://api.example/x?q=1", "http://127.0.0.1:8080", "http://127.0.0.1:8080/x?q=1"},
      {"https://api.example/x?q=1", "http://127.0.0.1:8080/", "http://127.0.0.1:8080/x?q=1"},
      {"http://a.example?q=1", "HTTPS://H.example:8443", "https://H.example:8443/?q=1"},
      {"http://u:p@a.example/x#top", "http://b.example", "http://b.example/x"},
      {"http://[::1]:9/p", "https://h.example", "https://h.example/p"},
      {"http://a.example/p", "http://[::1]:8080", "http://[::1]:8080/p"},
      {"http://a.example/p", "https://[0:0::1]", "https://[::1]/p"},
      {"http://a.example/p", "", "http://a.example/p"},
      {"http://a.example/p", "http://h.example/api", ""},
      {"http://a.example/p", "http://h.example?x=1", ""},
      {"http://a.example/p", "http://u@h.example", ""},
      {"http://a.example/p", "http://h.example#f", ""},
      {"http://a.example/p", "http://[::1", ""},
  };
  // clang-format on
  for (const auto& C : Cases)
    EXPECT_EQ(TPassReplay::Rebase(C.URL, C.Base), C.Out) << C.URL << " on " << C.Base;
}

// A coding the component could not undo is never asked for.
TEST(ReplayRules, CredentialsStayWithTheirServer) {
  const std::vector<std::string> All = {"Authorization: Basic YTpi", "Cookie: s=1", "X-Trace: 7"};
  const std::vector<std::string> Public = {"X-Trace: 7"};
  // clang-format off
  const struct { std::string URL; bool Keep; std::vector<std::string> Lines; } Cases[] = {
      {"https://API.example:443/y?z", false, All}, {"https://other.example/x", false, Public},
      {"https://api.example:8443/x", false, Public}, {"http://api.example:443/x", false, Public},
      {"", false, Public}, {"http://other.example/x", true, All}};
  // clang-format on
  const THarEntry E = Entry("GET", "https://api.example/x", Private);
  for (const auto& C : Cases) EXPECT_EQ(TPassReplay::LinesFor(E, C.URL, C.Keep), C.Lines) << C.URL;
}

// A run against the scripted server: what it gives, and what the server received.
struct ReplayCase {
  std::string Name;
  std::vector<THarEntry> Entries;
  std::vector<TConnectionScript> Script;  // one per connection the run must make
  std::vector<TReplayOutcome> Outcomes;
  std::vector<std::string> Why = {};   // in each result's reason
  std::vector<std::string> Sent = {};  // "\r\n" at both ends; {P} is the server's port
  std::vector<std::string> NeverSent = {"\r\nUser-Agent:", "\r\nAccept:", "\r\nContent-type:"};
  std::string Base = "";
  bool Unsafe = false, Keep = false, AbortAtFirstWait = false;
};
void PrintTo(const ReplayCase& C, std::ostream* Os) { *Os << C.Name; }

std::vector<ReplayCase> ReplayCases() {
  using steps::Answer;
  const std::string Here = "http://127.0.0.1:{P}/r?q=1", Away = "https://api.example/r?q=1";
  const std::string Moved = "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n";
  const auto Twice = [](THarEntry E) { return std::vector<THarEntry>{E, E}; };
  THarEntry Refused = Entry("GET", Here), Cut = Entry("PUT", Here, {}, Ok, "abc");
  Refused.Refused = "log.entries[0].request.url: holds a blank";
  Cut.Pass.RequestBodySize = 10;
  // Recorded over HTTP/1.1 offering Codings, with Reply's head and "hello" decoded.
  const auto Http11 = [&](const std::string& Codings, const std::string& Head) {
    THarEntry E = Entry("GET", Here, {{"Accept-Encoding", Codings}}, Head + "hello");
    E.Pass.RequestHeader = "GET /r?q=1 http/1.1\r\n\r\n";  // as some browsers write it
    return E;
  };
  const std::string Gzipped = testsupport::Zlib("hello", 31);
  const std::string Coded = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: "
                            "gzip\r\nContent-Length: " + std::to_string(Gzipped.size()) + "\r\n\r\n";
  const std::string Sized = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\n";
  const std::string Chunked = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
  // A browser's entry over HTTP/2: no field of HTTP/1.x's framing, lower-case names.
  const auto Http2 = [&](const std::string& ContentType) {
    THarEntry E = Entry("GET", Away);
    E.Http2 = true;
    E.Pass.RequestHeader = "GET /r?q=1 HTTP/2\r\nHost: api.example\r\n\r\n";
    E.Pass.ReplyHeader = "HTTP/2 200 \r\ncontent-type: " + ContentType + "\r\n\r\n";
    return E;
  };
  const std::string Kept11 = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n"
                             "Connection: keep-alive\r\n\r\nhello";
  using steps::ReadRequest;
  using steps::Send;
  // clang-format off
  return {
      {"Same", {Entry("GET", Here, {{"X-Trace", "7"}})}, {Answer(Ok + "hello")}, {roSame}, {},
       {"\r\nGET /r?q=1 HTTP/1.0\r\nHost: 127.0.0.1:{P}\r\nX-Trace: 7\r\n\r\n"}},
      {"BodyChanged", {Entry("GET", Here)}, {Answer(Ok + "HELLO")}, {roDiffers}},
      // Recorded decoded over HTTP/2, answered without a coding over HTTP/1.0.
      {"FramedOtherwise", {Entry("GET", Here, {}, "HTTP/2.0 200 \r\ncontent-encoding: br\r\n"
                                 "Content-Type: text/plain\r\n\r\nhello")},
       {Answer("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello")},
       {roSame}},
      {"RedirectNotFollowed", {Entry("GET", Here, {}, Moved)}, {Answer(Moved)}, {roSame}},
      {"ClosedAtOnceThenNext", Twice(Entry("HEAD", Here, {}, Ok)),
       {{steps::ReadRequest()}, Answer(Ok)}, {roFailed, roSame}, {"Empty reply from server"}},
      {"UnsafeSkipped", Twice(Entry("POST", Here)), {}, {roSkipped, roSkipped}, {"unsafe method"}},
      {.Name = "UnsafeSentAsIs",
       .Entries = {Entry("POST", Here, {{"Content-Type", "text/x"}}, Ok + "k", "a b&c")},
       .Script = {Answer(Ok + "k")}, .Outcomes = {roSame},
       .Sent = {"\r\nContent-Type: text/x\r\n", "\r\n\r\na b&c"}, .Unsafe = true},
      {.Name = "NotSendable",
       .Entries = {Refused, Entry("get", Here), Entry("DELETE", Here, {}, Ok, "x"), Cut},
       .Script = {}, .Outcomes = {roSkipped, roSkipped, roSkipped, roSkipped},
       .Why = {Refused.Refused, "method get: not one", "with a body", "holds 3 of its 10"},
       .Unsafe = true},
      {.Name = "BaseWithPath", .Entries = {Entry("GET", Here)}, .Script = {},
       .Outcomes = {roFailed}, .Why = {"on the base"}, .Base = "http://127.0.0.1:{P}/x"},
      {"CredentialsHome", {Entry("GET", Here, Private)}, {Answer(Ok + "hello")}, {roSame}, {},
       {"\r\nAuthorization: Basic YTpi\r\nCookie: s=1\r\nX-Trace: 7\r\n"}},
      {"CredentialsNotAway", {Entry("GET", Away, Private)}, {Answer(Ok + "hello")}, {roSame}, {},
       {"\r\nX-Trace: 7\r\n"}, {"\r\nAuthorization:", "\r\nCookie:"}, "http://127.0.0.1:{P}"},
      {.Name = "CredentialsKept", .Entries = {Entry("GET", Away, Private)},
       .Script = {Answer(Ok + "hello")}, .Outcomes = {roSame}, .Sent = {"\r\nCookie: s=1\r\n"},
       .Base = "http://127.0.0.1:{P}", .Keep = true},
      // As recorded: HTTP/1.1 on one kept connection, the codings offered and undone, the
      // framing and coding fields counted; offered but some of the codings, those are not.
      {.Name = "Http11AsRecorded",
       .Entries = {Http11("gzip, deflate, br, zstd", Coded), Http11("identity", Sized),
                   Http11("gzip, br;q=0.5, zstd;q=0", Coded)},
       .Script = {{ReadRequest(), Send(Coded + Gzipped), ReadRequest(), Send(Chunked),
                   ReadRequest(), Send(Sized + "hello")}},
       .Outcomes = {roSame, roDiffers, roSame},
       .Sent = {"\r\nGET /r?q=1 HTTP/1.1\r\n", "\r\nAccept-Encoding: deflate, gzip, br, zstd\r\n"}},
      // Offered HTTP/2 over plain http, which the component speaks as HTTP/1.1: said so, and
      // the fields HTTP/1.1 adds are no difference, unlike a changed value.
      {.Name = "Http2AnsweredInHttp11", .Entries = {Http2("text/plain"), Http2("text/html")},
       .Script = {{ReadRequest(), Send(Kept11), ReadRequest(), Send(Kept11)}},
       .Outcomes = {roSame, roDiffers},
       .Why = {"recorded in HTTP/2, answered in HTTP/1.1", "answered in HTTP/1.1"},
       .Sent = {"\r\nGET /r?q=1 HTTP/1.1\r\n"}, .Base = "http://127.0.0.1:{P}"},
      {.Name = "AbortEndsEntryAndRun", .Entries = Twice(Entry("GET", Here)), .Script = {},
       .Outcomes = {roFailed}, .Why = {"Canceled"}, .AbortAtFirstWait = true},
  };
  // clang-format on
}

class ReplayTest : public HttpTest, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayTest, AgainstScriptedServer) {
  const ReplayCase& C = GetParam();
  TScriptedPeer Server(C.Script);
  const auto Port = [&](std::string T) {
    return Replaced(T, "{P}", std::to_string(Server.Port()));
  };
  THarLog Har;
  for (THarEntry E : C.Entries) {
    E.Pass.URL = Port(E.Pass.URL);
    E.Index = Har.Entries.size();
    Har.Entries.push_back(std::move(E));
  }
  TReplayOptions O;
  O.Base = Port(C.Base);
  O.Unsafe = C.Unsafe;
  O.KeepCredentials = C.Keep;
  O.TimeOutMs = 10000;  // tripwire
  TPassReplay Replay(O);
  // A button pressed while the first entry waits.
  if (C.AbortAtFirstWait) Application.OnWaitForEvent = [&](int) { Replay.Abort(); };
  std::vector<TReplayOutcome> Told, Got;
  const auto Results = Replay.ReplayAll(Har, [&](const auto& R) { Told.push_back(R.Outcome); });
  for (std::size_t I = 0; I < Results.size(); ++I) {
    Got.push_back(Results[I].Outcome);
    const std::string Why = I < C.Why.size() ? C.Why[I] : "";
    EXPECT_NE(Results[I].Why.find(Why), std::string::npos) << Results[I].Why;
  }
  EXPECT_EQ(Got, C.Outcomes);
  EXPECT_EQ(Told, C.Outcomes);
  std::string Seen;
  for (const std::string& Request : Server.Requests()) Seen += "\r\n" + Request;
  for (const auto& Line : C.Sent) EXPECT_NE(Seen.find(Port(Line)), std::string::npos) << Seen;
  for (const auto& Line : C.NeverSent) EXPECT_EQ(Seen.find(Line), std::string::npos) << Seen;
  EXPECT_EQ(Server.Accepted(), std::ssize(C.Script));
}

INSTANTIATE_TEST_SUITE_P(Replay, ReplayTest, ::testing::ValuesIn(ReplayCases()),
                         [](const auto& Info) { return Info.param.Name; });

// The caller's certificate goes to the first entry's server (sent or not: a POST is skipped),
// or to the base, and to no other server the file names.
TEST_F(HttpTest, ReplayOffersTheCertificateToTheFirstServerOnly) {
  const std::string Peer = "https://127.0.0.1:{T}/b", Other = "https://other.test/a";
  const struct { std::string First, Second, Base; std::vector<bool> Offered; } Cases[] = {
      {Peer, Peer, "", {true, true}}, {Other, Peer, "", {false}},
      {Other, Other, "https://127.0.0.1:{T}", {true}}};
  for (const auto& C : Cases) {
    using enum TTlsStepKind;
    const TTlsScript Answer = {{Accept}, {ReadRequest}, {Send, Ok}};
    TTlsPeer Tls(TTestPki::Get().Good, std::vector<TTlsScript>(C.Offered.size(), Answer));
    Tls.AskCertificate();
    const auto Port = [&](std::string T) { return Replaced(T, "{T}", std::to_string(Tls.Port())); };
    THarLog Har;
    Har.Entries = {Entry(C.First == Peer ? "GET" : "POST", Port(C.First)),
                   Entry("GET", Port(C.Second))};
    TReplayOptions O;
    O.Base = Port(C.Base);
    O.TimeOutMs = 10000;  // tripwire
    O.Tls.Verify = O.Tls.Resume = false;  // a resumed session would send no certificate to tell
    O.Tls.CertFile = TTestPki::Get().Client.Cert;
    O.Tls.KeyFile = TTestPki::Get().Client.Key;
    TPassReplay(O).ReplayAll(Har, {});
    ASSERT_TRUE(Tls.Finished());
    EXPECT_EQ(Tls.ClientCertificates(), C.Offered) << C.First << " " << C.Base;
  }
}
// A pass recorded over h2c against nghttpd, written to a HAR and read back, is replayed by
// prior knowledge over HTTP/2 again and compares the same.
class ReplayH2cTest : public InspectTest {};

TEST_F(ReplayH2cTest, RecordedH2cIsReplayedOverH2c) {
  if (::access("/usr/sbin/nghttpd", X_OK) != 0) GTEST_SKIP() << "nghttpd is not installed";
  testsupport::ScratchDir Dir;
  Dir.Write("www/r", "hello over two\n");
  testsupport::ServerProcess Nghttpd;
  std::uint16_t Port = 0;
  for (int Try = 0; Try < 5 && Port == 0; ++Try)
    if (const std::uint16_t P = testsupport::FreePort();
        Nghttpd.Start({"/usr/sbin/nghttpd", "--no-tls", "-a", "127.0.0.1", "-d",
                       Dir.Path() + "/www", std::to_string(P)},
                      P, Dir.Path()))
      Port = P;
  ASSERT_NE(Port, 0) << "nghttpd did not start";
  Http->HttpVersion = hv2Prior;
  Http->TimeOut = 10000;  // tripwire
  Record();
  ASSERT_EQ(RunRecorded([&] { Http->Get("http://127.0.0.1:" + std::to_string(Port) + "/r"); }), "");
  const THarLog Har = THarReader::ReadText(THarWriter::Text(THarWriter::Document(*Recorder)));
  ASSERT_EQ(Har.Entries.size(), 1u);
  ASSERT_TRUE(Har.Entries[0].Http2);
  TReplayOptions O;
  O.TimeOutMs = 10000;  // tripwire
  const TReplayResult R = TPassReplay(O).Replay(Har.Entries[0]);
  ASSERT_EQ(R.Outcome, roSame) << R.Why;
  EXPECT_EQ(R.Why, "");
  ASSERT_TRUE(R.Replayed);
  EXPECT_EQ(R.Replayed->RequestVersion(), 20);
  EXPECT_EQ(R.Replayed->Stream, 1);
  EXPECT_EQ(R.Replayed->Body, "hello over two\n");
}

}  // namespace
