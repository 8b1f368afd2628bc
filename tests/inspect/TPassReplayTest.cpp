// The replay: its URL and credential rules by tables, and entries sent again to a scripted
// server that shows what it received.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inspect/TPassReplay.h"
#include "tests/http/HttpFixture.h"

using namespace testsupport;

namespace {

const std::string Ok = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

// An entry recorded as Method URL with Fields, its reply Reply (head and body).
THarEntry Entry(const std::string& Method, const std::string& URL,
                std::vector<THeaderField> Fields = {}, const std::string& Reply = Ok + "hello",
                const std::string& Body = "") {
  THarEntry E;
  E.Pass.Method = Method;
  E.Pass.URL = URL;
  E.Pass.RequestBody = Body;
  E.Pass.RequestBodySize = static_cast<std::int64_t>(Body.size());
  const auto End = Reply.find("\r\n\r\n") + 4;
  E.Pass.ReplyHeader = Reply.substr(0, End);
  E.Pass.ReplyNumber = std::stoi(Reply.substr(9, 3));
  E.Pass.Body = Reply.substr(End);
  E.Pass.BodyBytes = static_cast<std::int64_t>(E.Pass.Body.size());
  E.Fields = std::move(Fields);
  return E;
}

const std::vector<THeaderField> Private = {{"Authorization", "Basic YTpi"}, {"Cookie", "s=1"},
                                           {"X-Trace", "7"}};

TEST(ReplayRules, Rebase) {
  const struct { std::string URL, Base, Out; } Cases[] = {
      {"https://api.example/x?q=1", "http://127.0.0.1:8080", "http://127.0.0.1:8080/x?q=1"},
      {"https://api.example/x?q=1", "http://127.0.0.1:8080/", "http://127.0.0.1:8080/x?q=1"},
      {"http://a.example?q=1", "HTTPS://H.example:8443", "https://H.example:8443/?q=1"},
      {"http://u:p@a.example/x#top", "http://b.example", "http://b.example/x"},
      {"http://[::1]:9/p", "https://h.example", "https://h.example/p"},
      {"http://a.example/p", "http://[::1]:8080", "http://[::1]:8080/p"},
      {"http://a.example/p", "", "http://a.example/p"},
      {"http://a.example/p", "http://h.example/api", ""},
      {"http://a.example/p", "http://h.example?x=1", ""},
      {"http://a.example/p", "http://u@h.example", ""},
      {"http://a.example/p", "http://h.example:99999", ""},
      {"http://a.example/p", "ftp://h.example", ""},
      {"http://a.example/p", "http://[::1", ""},
      {"ftp://a.example/p", "http://h.example", ""},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(TPassReplay::Rebase(C.URL, C.Base), C.Out) << C.URL << " on " << C.Base;
}

TEST(ReplayRules, CredentialsStayWithTheirServer) {
  const std::vector<std::string> All = {"Authorization: Basic YTpi", "Cookie: s=1", "X-Trace: 7"};
  const std::vector<std::string> Public = {"X-Trace: 7"};
  const struct { std::string URL; bool Keep; std::vector<std::string> Lines; } Cases[] = {
      {"https://api.example/x", false, All},
      {"https://API.example:443/y?z", false, All},
      {"https://other.example/x", false, Public},
      {"https://api.example:8443/x", false, Public},
      {"http://api.example:443/x", false, Public},
      {"", false, Public},
      {"http://other.example/x", true, All},
  };
  const THarEntry E = Entry("GET", "https://api.example/x", Private);
  for (const auto& C : Cases)
    EXPECT_EQ(TPassReplay::LinesFor(E, C.URL, C.Keep), C.Lines) << C.URL;
}

TEST(ReplayRules, NotSent) {
  THarEntry Refused = Entry("GET", "http://a.example/");
  Refused.Refused = "log.entries[0].request.url: holds a blank, CR, LF or NUL";
  THarEntry Cut = Entry("PUT", "http://a.example/", {}, Ok, "abc");
  Cut.Pass.RequestBodySize = 10;
  const struct { THarEntry E; bool Unsafe; TReplayOutcome Outcome; std::string Why; } Cases[] = {
      {Refused, true, TReplayOutcome::roSkipped, Refused.Refused},
      {Entry("POST", "http://a.example/"), false, TReplayOutcome::roSkipped, "unsafe method POST"},
      {Entry("get", "http://a.example/"), true, TReplayOutcome::roSkipped, "method get: not one"},
      {Entry("PROPFIND", "http://a.example/"), true, TReplayOutcome::roSkipped, "method PROPFIND"},
      {Entry("DELETE", "http://a.example/", {}, Ok, "x"), true, TReplayOutcome::roSkipped,
       "with a body"},
      {Cut, true, TReplayOutcome::roSkipped, "holds 3 of its 10 bytes"},
      {Entry("GET", "http://a.example/"), true, TReplayOutcome::roFailed, "on the base"},
  };
  TReplayOptions O;
  O.Base = "http://b.example/x";  // refused: only the last case gets that far
  for (const auto& C : Cases) {
    O.Unsafe = C.Unsafe;
    const TReplayResult R = TPassReplay(O).Replay(C.E);
    EXPECT_EQ(R.Outcome, C.Outcome) << C.Why;
    EXPECT_NE(R.Why.find(C.Why), std::string::npos) << R.Why;
    EXPECT_FALSE(R.Replayed);
  }
}

// What a run against the scripted server sends and gives; "{P}" is the server's port.
struct ReplayCase {
  std::string Name;
  std::vector<THarEntry> Entries;
  std::vector<TConnectionScript> Script;
  std::vector<TReplayOutcome> Outcomes;
  std::vector<std::string> Sent = {};   // lines some request carried, "\r\n" at both ends
  std::vector<std::string> NeverSent = {"\r\nUser-Agent:", "\r\nAccept:", "\r\nContent-type:"};
  std::string Base = "";
  bool Unsafe = false;
  bool Keep = false;
};
void PrintTo(const ReplayCase& C, std::ostream* Os) { *Os << C.Name; }

const std::string Here = "http://127.0.0.1:{P}/r?q=1";
const std::string Away = "https://api.example/r?q=1";
const std::string Moved = "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n";
using enum TReplayOutcome;

std::vector<ReplayCase> ReplayCases() {
  using steps::Answer;
  const auto Twice = [](THarEntry E) { return std::vector<THarEntry>{E, E}; };
  return {
      {"Same", {Entry("GET", Here, {{"X-Trace", "7"}})}, {Answer(Ok + "hello")}, {roSame},
       {"\r\nGET /r?q=1 HTTP/1.0\r\nHost: 127.0.0.1:{P}\r\nX-Trace: 7\r\n\r\n"}},
      {"BodyChanged", {Entry("GET", Here)}, {Answer(Ok + "HELLO")}, {roDiffers}},
      {"RedirectNotFollowed", {Entry("GET", Here, {}, Moved)}, {Answer(Moved)}, {roSame}},
      {"ClosedAtOnceThenNext", Twice(Entry("HEAD", Here, {}, Ok)),
       {{steps::ReadRequest()}, Answer(Ok)}, {roFailed, roSame}},
      {"UnsafeSkipped", Twice(Entry("POST", Here, {}, Ok, "a b")), {},
       {roSkipped, roSkipped}},
      {"UnsafeSentAsIs", {Entry("POST", Here, {{"Content-Type", "text/x"}}, Ok + "k", "a b&c")},
       {Answer(Ok + "k")}, {roSame}, {"\r\nContent-Type: text/x\r\n", "\r\n\r\na b&c"}, {},
       "", true},
      {"CredentialsHome", {Entry("GET", Here, Private)}, {Answer(Ok + "hello")}, {roSame},
       {"\r\nAuthorization: Basic YTpi\r\nCookie: s=1\r\nX-Trace: 7\r\n"}},
      {"CredentialsNotAway", {Entry("GET", Away, Private)}, {Answer(Ok + "hello")}, {roSame},
       {"\r\nX-Trace: 7\r\n"}, {"\r\nAuthorization:", "\r\nCookie:"}, "http://127.0.0.1:{P}"},
      {"CredentialsKept", {Entry("GET", Away, Private)}, {Answer(Ok + "hello")}, {roSame},
       {"\r\nAuthorization: Basic YTpi\r\nCookie: s=1\r\n"}, {}, "http://127.0.0.1:{P}", false,
       true},
  };
}

class ReplayTest : public HttpTest, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayTest, AgainstScriptedServer) {
  const ReplayCase& C = GetParam();
  TScriptedPeer Server(C.Script);
  const auto Port = [&](std::string Text) { return Replaced(Text, "{P}", std::to_string(Server.Port())); };
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
  O.TimeOutMs = 10000;
  TPassReplay Replay(O);
  std::vector<TReplayOutcome> Told, Got;
  for (const TReplayResult& R : Replay.ReplayAll(Har, [&](const TReplayResult& R) { Told.push_back(R.Outcome); })) {
    Got.push_back(R.Outcome);
    EXPECT_EQ(R.Comparison.has_value(), R.Outcome == roSame || R.Outcome == roDiffers) << R.Why;
  }
  EXPECT_EQ(Got, C.Outcomes);
  EXPECT_EQ(Told, C.Outcomes);
  std::string Seen;
  for (const std::string& Request : Server.Requests()) Seen += "\r\n" + Request;
  for (const std::string& Line : C.Sent) EXPECT_NE(Seen.find(Port(Line)), std::string::npos) << Line << Seen;
  for (const std::string& Line : C.NeverSent) EXPECT_EQ(Seen.find(Line), std::string::npos) << Line << Seen;
  EXPECT_EQ(Server.Accepted(), static_cast<int>(C.Script.size()));
}

INSTANTIATE_TEST_SUITE_P(Replay, ReplayTest, ::testing::ValuesIn(ReplayCases()),
                         [](const auto& Info) { return Info.param.Name; });

// Abort ends the entry that waits on a silent server, and the rest of the run.
TEST_F(HttpTest, ReplayAbortEndsTheEntryAndTheRun) {
  TScriptedPeer Server({{steps::ReadRequest(), steps::Stall()}});
  const THarEntry E = Entry("GET", "http://127.0.0.1:" + std::to_string(Server.Port()) + "/");
  TReplayOptions O;
  O.TimeOutMs = 10000;
  TPassReplay Replay(O);
  // The first wait of the first entry is a button pressed while it runs.
  Application.OnWaitForEvent = [&](int) { Replay.Abort(); };
  const std::vector<TReplayResult> Results = Replay.ReplayAll(THarLog{"", {E, E}, ""}, nullptr);
  ASSERT_EQ(Results.size(), 1u);
  EXPECT_EQ(Results[0].Outcome, roFailed);
  const std::string& Why = Results[0].Why;  // the step decides the words, not a time-out
  EXPECT_TRUE(Why.find("Cancel") != Why.npos || Why.find("abort") != Why.npos) << Why;
}

}  // namespace
