// The recorder on scripted exchanges: what each pass sent and received, the order of its
// stages, failures midway, bodies fed by a sink, and the owner's handlers kept working.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "inspect/TCommandRenderer.h"
#include "inspect/THarWriter.h"
#include "tests/inspect/InspectFixture.h"
#include "tests/support/TlsPeer.h"

using testsupport::ReplyScript;
using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

const std::string Big(1536 * 1024, 'x');  // more than a pass keeps

std::string Ok(const std::string& Body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body;
}

struct RecorderCase {
  std::string Name;
  std::vector<ReplyScript> Replies;
  std::string Host;  // "" for 127.0.0.1
  std::function<void(TVelHTTP&, const std::string& URL)> Request;
  std::vector<int> Statuses;            // per pass, as recorded
  std::vector<std::int64_t> BodySizes;  // per pass, whole
  std::string LastBodyStart;            // what the last pass kept begins so
  bool ErrorInLastPass = false;
  bool LookedUp = false;
  bool StatusLine = true;      // the last pass saw a status line
  std::string AskedHost = "";  // the owner names it when the look-up fails
};

void PrintTo(const RecorderCase& C, std::ostream* Os) { *Os << C.Name; }

const auto Get = [](TVelHTTP& H, const std::string& U) { H.Get(U); };

std::vector<RecorderCase> RecorderCases() {
  return {
      {"ThreeHops", ThreeHopsReplies(), "", Get, {302, 301, 200}, {32, 0, 17}, "Bonjour"},
      {"SplitReply",
       {ReplyScript{{"HTTP/1.0 200 OK\r\n", "Content-Length: 6\r\n\r\n", "abc", "def"}}},
       "",
       Get,
       {200},
       {6},
       "abcdef"},
      {"NamedHost", {Whole(Ok("named"))}, "hops.test", Get, {200}, {5}, "named", false, true},
      {"Post",
       {Whole(Ok("posted"))},
       "",
       [](TVelHTTP& H, const std::string& U) { H.Post(U, "a=1&b=it's"); },
       {200},
       {6},
       "posted"},
      {"Put",
       {Whole(Ok(""))},
       "",
       [](TVelHTTP& H, const std::string& U) { H.Put(U, std::string("x\0y", 3)); },
       {200},
       {0},
       ""},
      {"Head",
       {Whole("HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n")},
       "",
       [](TVelHTTP& H, const std::string& U) { H.Head(U); },
       {200},
       {0},
       ""},
      {"LargeBody", {Whole(Ok(Big))}, "", Get, {200}, {1536 * 1024}, "xxxx"},
      {"ClosedAtOnce", {Whole("")}, "", Get, {0}, {0}, "", true, false, false},
      {"ResetMidBody",
       {ReplyScript{{"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n", "0123456789"}, true}},
       "",
       Get,
       {200},
       {10},
       "0123456789",
       true},
      {"ResetMidHeader",
       {ReplyScript{{"HTTP/1.0 404 Not Found\r\nServer: x"}, true}},
       "",
       Get,
       {404},
       {0},
       "",
       true},
      {"AnotherHostAsked",
       {Whole(Ok("there"))},
       "nosuch.invalid",
       Get,
       {200},
       {5},
       "there",
       false,
       false,
       true,
       "127.0.0.1"},
  };
}

class RecorderTable : public InspectTest, public ::testing::WithParamInterface<RecorderCase> {};

// The stages a pass reached come in their order, and none is reached after one that was not
// (the look-up aside, which a dotted address skips).
void ExpectStagesInOrder(const TExchangePass& P) {
  std::optional<double> Before = 0.0;
  for (int S = xsConnected; S < ExchangeStageCount; ++S) {
    const auto& At = P.At[S];
    if (S == xsStatusLine && !At) continue;  // no status line: the header ends at once
    if (!At) {
      Before.reset();
      continue;
    }
    ASSERT_TRUE(Before.has_value()) << "stage " << S << " reached after one that was not";
    EXPECT_GE(*At, *Before) << "stage " << S;
    Before = At;
  }
  if (P.At[xsLookedUp] && P.At[xsConnected]) {
    EXPECT_LE(*P.At[xsLookedUp], *P.At[xsConnected]);
  }
}

TEST_P(RecorderTable, RecordsEachPass) {
  const RecorderCase& C = GetParam();
  ScriptedHttpServer Server(C.Replies, Watch);
  const std::string Host = C.Host.empty() ? "127.0.0.1" : C.Host;
  const std::string URL = "http://" + Host + ":" + std::to_string(Server.Port()) + "/start";
  if (!C.AskedHost.empty())
    Http->OnInvalidHost = [&](bool& Handled) {
      Http->Host = C.AskedHost;
      Handled = true;
    };
  Record();
  const std::string Error = RunRecorded([&] { C.Request(*Http, URL); });
  EXPECT_EQ(!Error.empty(), C.ErrorInLastPass) << Error;

  const auto& Passes = Recorder->Passes();
  ASSERT_EQ(Passes.size(), C.Statuses.size());
  const auto Received = Server.Requests();
  ASSERT_EQ(Received.size(), Passes.size());
  for (std::size_t I = 0; I < Passes.size(); ++I) {
    SCOPED_TRACE("pass " + std::to_string(I));
    const TExchangePass& P = Passes[I];
    EXPECT_EQ(P.ReplyNumber, C.Statuses[I]);
    EXPECT_EQ(P.BodyBytes, C.BodySizes[I]);
    EXPECT_EQ(P.RequestHeader + P.RequestBody, Received[I]) << "the exact bytes sent";
    EXPECT_EQ(P.RequestBodySize, static_cast<std::int64_t>(P.RequestBody.size()));
    EXPECT_EQ(P.Body.size(), std::min<std::size_t>(P.BodyBytes, TExchangePass::BodyKept));
    EXPECT_EQ(P.Method, Received[I].substr(0, Received[I].find(' ')));
    EXPECT_EQ(P.URL.rfind("http://" + Host + ":", 0), 0u) << P.URL;
    EXPECT_EQ(P.At[xsLookedUp].has_value(), C.LookedUp);
    EXPECT_TRUE(P.At[xsRequestSent].has_value());
    ExpectStagesInOrder(P);
    const bool Last = I + 1 == Passes.size();
    EXPECT_EQ(P.Error.empty(), !(Last && C.ErrorInLastPass));
    EXPECT_EQ(P.At[xsBodyEnd].has_value(), !(Last && C.ErrorInLastPass));
    // A pass ends at its body's end, or where its error cut it, after every stage it reached.
    ASSERT_TRUE(P.EndedAt.has_value());
    if (P.At[xsBodyEnd]) {
      EXPECT_EQ(P.EndedAt, P.At[xsBodyEnd]);
    }
    for (const auto& Reached : P.At) {
      if (Reached) {
        EXPECT_GE(*P.EndedAt, *Reached);
      }
    }
    for (const auto& Reached : P.At) EXPECT_GE(*P.EndedAt, Reached.value_or(0));
    EXPECT_EQ(P.HostUsed(), C.AskedHost);
    if (Last) {
      EXPECT_EQ(P.At[xsStatusLine].has_value(), C.StatusLine);
      EXPECT_EQ(P.Body.substr(0, C.LastBodyStart.size()), C.LastBodyStart);
      EXPECT_EQ(Recorder->Complete(), !C.ErrorInLastPass);
    }
  }
  EXPECT_TRUE(Recorder->Error().empty());
}

INSTANTIATE_TEST_SUITE_P(Exchanges, RecorderTable, ::testing::ValuesIn(RecorderCases()),
                         [](const auto& Info) { return Info.param.Name; });

using RecorderTest = InspectTest;

TEST_F(RecorderTest, ThreeHopsNameTheirURLsAndReplies) {
  const std::string Origin = At(RecordThreeHops(), "");
  const auto& P = Recorder->Passes();
  ASSERT_EQ(P.size(), 3u);
  EXPECT_EQ(P[0].URL, Origin + "/start");
  EXPECT_EQ(P[1].URL, Origin + "/second");
  EXPECT_EQ(P[2].URL, Origin + "/third?lang=fr&q=caf%C3%A9");
  EXPECT_EQ(P[0].ReplyHeader.rfind("HTTP/1.0 302 Found\r\nLocation: /second\r\n", 0), 0u);
  EXPECT_EQ(P[0].Body, "<a href=\"/second\">elsewhere</a>\n");
  EXPECT_EQ(P[2].Body, "Bonjour, caf\xC3\xA9 !\n");
  EXPECT_EQ(P[2].AnnouncedLength(), 17);
  EXPECT_NE(P[1].RequestHeader.find("\r\nCookie: session=abc123\r\n"), std::string::npos);
  // One clock for the passes: each starts after the one before.
  EXPECT_LT(P[0].Started, P[1].Started);
  EXPECT_LE(P[0].StartedAt, P[1].StartedAt);
  double Before = 0;
  for (const TExchangePass& Each : P) {
    for (const auto Stage : {xsConnected, xsBodyEnd}) {
      const auto At = Each.AtFrom(P[0].Started, Stage);
      ASSERT_TRUE(At.has_value());
      EXPECT_GE(*At, Before);
      Before = *At;
    }
  }
  EXPECT_EQ(P[2].AtFrom(P[0].Started, xsLookedUp), std::nullopt);
}

// The recorded URL is the one the pass asked for, in absolute form, whatever the user typed:
// no "//" in a path taken for a server, no credentials (they travel in the Authorization
// line, which the commands carry as the component sent it), no fragment.
TEST_F(RecorderTest, URLIsTheAbsoluteFormOfThePass) {
  struct Row {
    std::string Typed;     // "%s" stands for 127.0.0.1:port
    std::string Recorded;  // likewise
    std::string Authorization;
  };
  const std::vector<Row> Rows = {
      {"%s/echo/a//b", "http://%s/echo/a//b", ""},
      {"%s//x//y?q=//z", "http://%s//x//y?q=//z", ""},
      {"HTTP://user:pw@%s/p", "HTTP://%s/p", "Authorization: Basic dXNlcjpwdw=="},
      {"http://%s/p?a=1#frag//x", "http://%s/p?a=1", ""},
      {"http://%s", "http://%s/", ""},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Typed);
    ScriptedHttpServer Server({Whole(Ok("fine"))});
    const std::string Address = "127.0.0.1:" + std::to_string(Server.Port());
    const auto Filled = [&](std::string Text) { return Text.replace(Text.find("%s"), 2, Address); };
    Record();
    Recorder->Run([&] { Http->Get(Filled(R.Typed)); });
    ASSERT_EQ(Recorder->Passes().size(), 1u);
    const TExchangePass& P = Recorder->Passes()[0];
    EXPECT_EQ(P.URL, Filled(R.Recorded));
    const auto Har = THarWriter::Document(*Recorder);
    EXPECT_EQ(Har["log"]["entries"][0]["request"]["url"], Filled(R.Recorded));
    for (const std::string& Command : {TCommandRenderer::OrreryCli(P), TCommandRenderer::Curl(P)}) {
      SCOPED_TRACE(Command);
      EXPECT_TRUE(Command.ends_with(" " + TCommandRenderer::ShellQuote(Filled(R.Recorded))));
      EXPECT_EQ(Command.find("pw@"), std::string::npos);
      EXPECT_EQ(Command.find("frag"), std::string::npos);
      if (!R.Authorization.empty()) {
        EXPECT_NE(Command.find("-H '" + R.Authorization + "'"), std::string::npos);
      }
    }
    // The Host line names the server of the URL: the command line composes it itself.
    EXPECT_EQ(TCommandRenderer::OrreryCli(P).find("Host"), std::string::npos);
  }
}

// A live trace sees each pass begin and each of its stages, in order, with the record
// already holding what the stage brought.
TEST_F(RecorderTest, ReportsEachStageAsItIsReached) {
  ScriptedHttpServer Server(
      {Whole("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"), Whole(Ok("done"))});
  Record();
  std::vector<std::string> Seen;
  Recorder->OnPassStage = [&](const TExchangePass& P, std::optional<TExchangeStage> Stage) {
    if (!Stage) {
      Seen.push_back("begin " + P.URL.substr(P.URL.rfind('/')));
      return;
    }
    Seen.push_back(std::to_string(*Stage) + (*Stage == xsHeaderEnd
                                                 ? " " + std::to_string(P.ReplyNumber)
                                             : *Stage == xsBodyEnd ? " " + P.Body
                                                                   : ""));
  };
  Http->Get("http://hops.test:" + std::to_string(Server.Port()) + "/first");
  EXPECT_EQ(Seen, (std::vector<std::string>{"begin /first", "0", "1", "2", "3", "4 302", "5 ",
                                            "begin /next", "0", "1", "2", "3", "4 200", "5 done"}));
}

TEST_F(RecorderTest, OwnersHandlersKeepRunningAndOutliveTheRecorder) {
  ScriptedHttpServer Server({Whole(Ok("one")), Whole(Ok("two"))});
  std::vector<std::string> Seen;
  Http->ReportLevel = 2;
  Http->OnStage = [&](TObject*, THttpStage S) { Seen.push_back("stage " + std::to_string(S)); };
  Http->OnConnect = [&](TObject*) { Seen.push_back("connect"); };
  Http->OnPacketRecvd = [&](TObject*) { Seen.push_back("packet"); };
  // The socket layer may close on the server's close as well: counted, not placed.
  int Disconnects = 0;
  Http->OnDisconnect = [&](TObject*) { ++Disconnects; };
  Http->OnStatus = [&](TObject*, const std::string& S) { Seen.push_back(S); };
  const std::vector<std::string> Expected = {
      "stage 0", "connect", "stage 1", "stage 2",
      "stage 3", "packet",  "stage 4", "Transaction Completed"};
  Record();
  Http->Get(At(Server.Port()));
  EXPECT_EQ(Seen, Expected);
  EXPECT_GE(Disconnects, 1);
  ASSERT_EQ(Recorder->Passes().size(), 1u);
  EXPECT_EQ(Recorder->Passes()[0].Reports.size(), 1u);

  Recorder.reset();  // its links stay in the component and only call on
  Seen.clear();
  Disconnects = 0;
  Http->Get(At(Server.Port()));
  EXPECT_EQ(Seen, Expected);
  EXPECT_GE(Disconnects, 1);
}

TEST_F(RecorderTest, StatusReportsGoToTheirPassWithTheirTimes) {
  Http->ReportLevel = 8;
  RecordThreeHops();
  ASSERT_EQ(Recorder->Passes().size(), 3u);
  for (const TExchangePass& P : Recorder->Passes()) {
    ASSERT_FALSE(P.Reports.empty());
    EXPECT_EQ(P.Reports.front().Text, "Connecting");
    double Before = 0;
    for (const TStatusReport& R : P.Reports) {
      EXPECT_GE(R.At, Before) << R.Text;
      Before = R.At;
    }
    EXPECT_EQ(P.ReportsDropped, 0);
  }
}

// The body as a sink of the caller's hands it over: the recorder keeps what it is fed (here
// upper-cased, to tell it from the component's Body), passes every block on, and counts all.
TEST_F(RecorderTest, BodyFedBySinkIsKeptAndCountedInFull) {
  const std::string Body = std::string(700 * 1024, 'a') + std::string(700 * 1024, 'b');
  ScriptedHttpServer Server({Whole(Ok("first")), Whole(Ok(Body))});
  std::size_t Passed = 0;
  std::function<void(std::string_view)> Sink;
  std::size_t Fed = 0;
  Http->OnPacketRecvd = [&](TObject*) {
    std::string Block = Http->Body.substr(Fed);
    Fed = Http->Body.size();
    for (char& C : Block) C = static_cast<char>(C - 'a' + 'A');
    Sink(Block);
  };
  Http->OnStage = [&](TObject*, THttpStage S) {
    if (S == hsHeaderEnd) Fed = 0;
  };
  Record();
  Sink = Recorder->Sink([&](std::string_view Block) { Passed += Block.size(); });
  EXPECT_TRUE(Recorder->BodyFromSink);
  Http->Get(At(Server.Port()));
  ASSERT_EQ(Recorder->Passes().size(), 1u);
  EXPECT_EQ(Recorder->Passes()[0].Body, "FIRST");
  Passed = 0;
  Http->Get(At(Server.Port()));
  const TExchangePass& P = Recorder->Passes()[0];
  EXPECT_EQ(Passed, Body.size());
  EXPECT_EQ(P.BodyBytes, static_cast<std::int64_t>(Body.size()));
  ASSERT_EQ(P.Body.size(), TExchangePass::BodyKept);
  EXPECT_EQ(P.Body.substr(0, 4), "AAAA");
  EXPECT_EQ(P.Body.substr(P.Body.size() - 4), "BBBB");
  EXPECT_TRUE(P.BodyCut());
}

TEST_F(RecorderTest, ErrorsGoToTheFailedPassOrToTheRequest) {
  struct Row {
    std::string Name;
    std::vector<ReplyScript> Replies;
    bool RefusedPort;
    std::size_t Passes;
    bool PassError;     // in the last pass
    bool RequestError;  // after the last pass
    bool StopAtHeader = false;  // the user stops the request once its header is read
  };
  const std::vector<Row> Rows = {
      {"refused", {}, true, 1, true, false},
      {"redirected to https",
       {Whole("HTTP/1.0 302 Found\r\nLocation: https://127.0.0.1/\r\n\r\n")},
       false,
       1,
       false,
       true},
      {"reset after the header",
       {ReplyScript{{"HTTP/1.0 200 OK\r\n\r\n"}, true}},
       false,
       1,
       true,
       false},
      {"stopped", {Whole("HTTP/1.0 200 OK\r\n\r\nbody")}, false, 1, true, false, true},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    auto Server = std::make_unique<ScriptedHttpServer>(R.Replies, Watch);
    const std::uint16_t Port = R.RefusedPort ? testsupport::RefusingPort() : Server->Port();
    Record();
    if (R.StopAtHeader)
      Http->OnStage = [&](TObject*, THttpStage S) { S == hsHeaderEnd ? Http->Abort() : void(); };
    const std::string Error = RunRecorded([&] { Http->Get(At(Port)); });
    EXPECT_FALSE(Error.empty());
    ASSERT_EQ(Recorder->Passes().size(), R.Passes);
    const TExchangePass& Last = Recorder->Passes().back();
    EXPECT_EQ(Last.Error, R.PassError ? Error : "");
    EXPECT_EQ(Last.Stopped, R.StopAtHeader);
    EXPECT_EQ(Recorder->Error(), R.RequestError ? Error : "");
    EXPECT_FALSE(Recorder->Complete());
    if (R.RefusedPort) {
      EXPECT_FALSE(Last.At[xsConnected].has_value());
    }
  }
}

// A request that fails before its first pass (an empty URL) shows no passes of the one before.
TEST_F(RecorderTest, RunForgetsTheRequestBefore) {
  ScriptedHttpServer Server({Whole(Ok("one"))});
  Record();
  Recorder->Run([&] { Http->Get(At(Server.Port())); });
  ASSERT_EQ(Recorder->Passes().size(), 1u);
  int Changes = 0;
  Recorder->OnChange = [&] { ++Changes; };
  EXPECT_EQ(RunRecorded([&] { Http->Get(""); }), "Empty URL");
  EXPECT_TRUE(Recorder->Passes().empty());
  EXPECT_EQ(Recorder->Error(), "Empty URL");
  EXPECT_EQ(Changes, 2);  // cleared, then the error
}

// A request that goes on from a refused pass keeps it: the refused pass with its error,
// then the new ones; an error before the new request's first pass is the request's.
TEST_F(RecorderTest, ContinueKeepsThePassesBefore) {
  struct Row {
    std::string Name;
    std::string URL;  // "" for the server
    std::size_t Passes;
    std::string RequestError;
  };
  ScriptedHttpServer Server({Whole(Ok("two"))});
  for (const Row& R : std::vector<Row>{{"goes on", "", 2, ""}, {"fails at once", "-", 1, "Empty URL"}}) {
    SCOPED_TRACE(R.Name);
    Record();
    const std::string First = RunRecorded([&] { Http->Get(At(testsupport::RefusingPort())); });
    ASSERT_FALSE(First.empty());
    ErrorOf([&] { Recorder->Continue([&] { Http->Get(R.URL.empty() ? At(Server.Port()) : ""); }); });
    ASSERT_EQ(Recorder->Passes().size(), R.Passes);
    EXPECT_EQ(Recorder->Passes()[0].Error, First);
    EXPECT_EQ(Recorder->Error(), R.RequestError);
    EXPECT_EQ(Recorder->Passes().back().Body, R.Passes == 2 ? "two" : "");
  }
}

// In the file modes the request body is read back from its file; the reply's header and
// body went to files and only their counts are known.
TEST_F(RecorderTest, FileModesKeepTheSentFileAndTheCounts) {
  const TempDir Scratch;
  const std::string& Dir = Scratch.Path;
  Scratch.File("send.dat", "file body");
  ScriptedHttpServer Server({Whole(Ok("0123456789"))});
  Http->OutputFileMode = true;
  Http->InputFileMode = true;
  Http->Header = Dir + "/head.txt";
  Http->Body = Dir + "/body.txt";
  Record();
  Http->Post(At(Server.Port()), Dir + "/send.dat");
  ASSERT_EQ(Recorder->Passes().size(), 1u);
  const TExchangePass& P = Recorder->Passes()[0];
  EXPECT_EQ(P.RequestBody, "file body");
  EXPECT_EQ(P.RequestBodySize, 9);
  EXPECT_EQ(P.RequestHeader + P.RequestBody, Server.Requests().at(0));
  EXPECT_EQ(P.ReplyHeader, "");
  EXPECT_EQ(P.ReplyNumber, 200);
  EXPECT_EQ(P.Body, "");
  EXPECT_EQ(P.BodyBytes, 10);
  EXPECT_TRUE(P.Complete());
}

}  // namespace

// Kept connections: a reused pass has its connection's number and no look-up or connect; a
// pass sent again after its kept connection closed keeps nothing of the closed one.
TEST_F(RecorderTest, ConnectionsKeptReusedAndResent) {
  using testsupport::steps::ReadRequest;
  using testsupport::steps::Send;
  const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  testsupport::TScriptedPeer Server(
      {{ReadRequest(), Send(Reply), ReadRequest(), Send(Reply), ReadRequest()},
       {ReadRequest(), Send(Reply)}});
  Http->HttpVersion = hv11;
  Record();
  const auto Pass = [&] {
    Recorder->Run([&] { Http->Get(At(Server.Port())); });
    return Recorder->Passes().at(0);
  };
  const TExchangePass New = Pass(), Reused = Pass(), Resent = Pass();
  EXPECT_EQ(std::tie(New.Connection, New.ConnectionReused, New.ConnectionKept, New.Resent),
            std::make_tuple(0, false, true, false));
  EXPECT_TRUE(New.At[xsConnected].has_value());
  EXPECT_EQ(std::tie(Reused.Connection, Reused.ConnectionReused, Reused.ConnectionKept),
            std::make_tuple(0, true, true));
  EXPECT_FALSE(Reused.At[xsLookedUp] || Reused.At[xsConnected]);
  // A reused pass begins with its sending; the HAR names its connection and has no look-up
  // or connect.
  std::vector<TSpanKind> Kinds;
  for (const TPassSpan& S : Reused.Spans()) Kinds.push_back(S.Kind);
  EXPECT_EQ(Kinds, (std::vector{TSpanKind::skSend, TSpanKind::skWait, TSpanKind::skReceive}));
  const auto Entry = THarWriter::Entry(Reused);
  EXPECT_EQ(Entry["connection"], "0");
  EXPECT_EQ(Entry["timings"]["dns"], -1);
  EXPECT_EQ(Entry["timings"]["connect"], -1);
  EXPECT_EQ(std::tie(Resent.Connection, Resent.ConnectionReused, Resent.Resent),
            std::make_tuple(1, false, true));
  EXPECT_TRUE(Resent.At[xsConnected] && Resent.At[xsRequestSent] && Resent.Complete());
  EXPECT_LT(*Resent.At[xsConnected], *Resent.At[xsRequestSent]);
  EXPECT_EQ(Resent.ReplyNumber, 200);
}

// A pass on a kept TLS connection holds the session its handshake made, and no TLS stage; the
// recorder keeps it across requests, as the component keeps the connection.
TEST_F(RecorderTest, ReusedTlsConnectionHoldsItsSession) {
  using K = testsupport::TTlsStepKind;
  const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  testsupport::TTlsPeer Tls(
      testsupport::TTestPki::Get().Good,
      {{{K::Accept}, {K::ReadRequest}, {K::Send, Reply}, {K::ReadRequest}, {K::Send, Reply}}});
  Http->HttpVersion = hv11;
  Http->SecureSocket = true;
  Http->TlsSettings.CaFile = testsupport::TTestPki::Get().RootFile;
  Record();
  const std::string Url = "https://good.test:" + std::to_string(Tls.Port()) + "/";
  Recorder->Run([&] { Http->Get(Url); });
  const TExchangePass First = Recorder->Passes().at(0);
  Recorder->Clear();
  Recorder->Run([&] { Http->Get(Url); });
  const TExchangePass& Reused = Recorder->Passes().at(0);
  ASSERT_TRUE(First.Tls && Reused.Tls && Reused.ConnectionReused);
  EXPECT_EQ(Reused.Tls->Chain, First.Tls->Chain);
  EXPECT_EQ(Reused.TlsName, "good.test");
  EXPECT_TRUE(TExchangePass::TlsLetThrough(*Reused.Tls));
  EXPECT_FALSE(Reused.TlsStartedAt || Reused.SecuredAt);
}
