// The request loop's decisions, one row per exchange: which replies start another pass and
// with which method, the bound and the sink of a body, the chunked coding, and an Abort
// from each handler.
#include <poll.h>

#include <chrono>
#include <functional>

#include "http/HttpErrors.h"
#include "tests/http/HttpFixture.h"

using testsupport::ReplyScript;
using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

// What a row may reach beyond the component: the sink's text, the scratch directory, the
// server's port, and whether the last body has been read.
struct LoopContext {
  std::string Sunk;
  std::string Dir;
  std::uint16_t Port = 0;
  bool BodyEnded = false;
};

enum ErrorKind { NoError, Aborted, TooLarge, Malformed, Cut, TooMany, OtherError };

ErrorKind KindOf(const std::exception& E) {
  if (dynamic_cast<const EHttpRequestAborted*>(&E)) return Aborted;
  if (dynamic_cast<const EHttpBodyTooLarge*>(&E)) return TooLarge;
  if (dynamic_cast<const EHttpMalformedChunk*>(&E)) return Malformed;
  if (dynamic_cast<const EHttpChunkedBodyCut*>(&E)) return Cut;
  if (dynamic_cast<const EHttpTooManyRedirections*>(&E)) return TooMany;
  return OtherError;
}

struct LoopCase {
  const char* Name;
  CmdType Cmd;       // Get, Head, Delete; Post sends "a=1&b=2" unencoded, Put "put-data"
  Lines Replies;     // one per connection
  Lines Expected;    // events
  int Reply;         // ReplyNumber at the end
  std::string Body;  // Body at the end
  Lines Requests;    // each request as "<request line>|<body>"
  ErrorKind Kind = NoError;
  std::string Error = "";
  std::function<void(TVelHTTP&, LoopContext&)> Setup = nullptr;
  std::function<void(TVelHTTP&, LoopContext&)> Extra = nullptr;
  bool Hold = false;  // the first connection stays open after its reply
};

const std::string Ok = "HTTP/1.0 200 OK\r\n\r\nfine";
const std::string Chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const Lines Done = {"AboutToSend", "Success 0", "Transaction Completed"};
const Lines Redirected = {"AboutToSend", "Redirect"};

Lines Then(Lines A, const Lines& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

Lines Result(const char* Event, CmdType Cmd) {
  Lines L = {"AboutToSend", Event + std::string(" ") + std::to_string(Cmd)};
  if (std::string(Event) == "Success") L.push_back("Transaction Completed");
  return L;
}

std::string To(const char* Status, const char* Location) {
  return std::string("HTTP/1.0 ") + Status + "\r\nLocation: " + Location + "\r\n\r\n";
}

// Chains Act after the handler already in Event (the fixture's logging).
template <class Event, class F>
void After(Event& E, F Act) {
  E = [Earlier = E, Act](auto&&... Args) {
    if (Earlier) Earlier(Args...);
    Act(Args...);
  };
}

// A reply "HTTP/1.1 <Head>" with "fineEXTRA" after its header, on a connection the server
// keeps open.
LoopCase Framed(const char* Name, CmdType Cmd, const std::string& Head, Lines Expected, int Reply,
                std::string Body, std::function<void(TVelHTTP&, LoopContext&)> Setup = nullptr,
                std::function<void(TVelHTTP&, LoopContext&)> Extra = nullptr) {
  LoopCase C{};
  C.Name = Name, C.Cmd = Cmd, C.Expected = std::move(Expected), C.Reply = Reply;
  C.Replies = {"HTTP/1.1 " + Head + "\r\n\r\nfineEXTRA"};
  C.Body = std::move(Body), C.Setup = std::move(Setup), C.Extra = std::move(Extra);
  C.Requests = {std::string(CommandWord(Cmd)) + " /p HTTP/1.0|"};
  C.Hold = true;
  return C;
}

const LoopCase LoopCases[] = {
    // Only a redirection with a Location of its own starts another pass.
    {"PostOn304IsSentOnce",
     hcPost,
     {"HTTP/1.0 304 Not Modified\r\n\r\n"},
     Redirected,
     304,
     "",
     {"POST /p HTTP/1.0|a=1&b=2"}},
    {"MultipleChoicesWithoutLocation",
     hcGet,
     {"HTTP/1.0 300 Choices\r\n\r\nlist"},
     Redirected,
     300,
     "list",
     {"GET /p HTTP/1.0|"}},
    {"SeeOtherWithoutLocation",
     hcPost,
     {"HTTP/1.0 303 See Other\r\n\r\n"},
     Redirected,
     303,
     "",
     {"POST /p HTTP/1.0|a=1&b=2"}},
    {"UseProxyIsNotFollowed",
     hcGet,
     {To("305 Use Proxy", "/proxy")},
     Redirected,
     305,
     "",
     {"GET /p HTTP/1.0|"}},
    {"Status399EndsWithoutEvents",
     hcGet,
     {"HTTP/1.0 399 Odd\r\n\r\n"},
     {"AboutToSend"},
     399,
     "",
     {"GET /p HTTP/1.0|"}},
    {"Status299EndsWithoutEvents",
     hcGet,
     {"HTTP/1.0 299 Odd\r\n\r\n"},
     {"AboutToSend"},
     299,
     "",
     {"GET /p HTTP/1.0|"}},
    {"EarlierLocationIsNeverReused",
     hcGet,
     {To("301 Moved", "/b"), "HTTP/1.0 302 Found\r\n\r\n"},
     Then(Redirected, Redirected),
     302,
     "",
     {"GET /p HTTP/1.0|", "GET /b HTTP/1.0|"}},
    {"PermanentRedirectIsFollowed",
     hcGet,
     {To("308 Permanent", "/b"), Ok},
     Then(Redirected, Done),
     200,
     "fine",
     {"GET /p HTTP/1.0|", "GET /b HTTP/1.0|"}},
    {"TooManyRedirectionsHasItsClass", hcGet, Lines(21, To("302 Found", "/p")),
     [] {
       Lines L;
       for (int I = 0; I < 21; ++I) L = Then(L, Redirected);
       return L;
     }(),
     302, "", Lines(21, "GET /p HTTP/1.0|"), TooMany, "Too many redirections"},

    // The method of the next pass; the result event names the command asked for.
    {"PostSeeOtherBecomesGet",
     hcPost,
     {To("303 See Other", "/b"), Ok},
     Then(Redirected, Result("Success", hcPost)),
     200,
     "fine",
     {"POST /p HTTP/1.0|a=1&b=2", "GET /b HTTP/1.0|"}},
    {"PostMovedBecomesGet",
     hcPost,
     {To("301 Moved", "/b"), "HTTP/1.0 404 No\r\n\r\n"},
     Then(Redirected, Result("Failure", hcPost)),
     404,
     "",
     {"POST /p HTTP/1.0|a=1&b=2", "GET /b HTTP/1.0|"}},
    {"PostFoundBecomesGet",
     hcPost,
     {To("302 Found", "/b"), Ok},
     Then(Redirected, Result("Success", hcPost)),
     200,
     "fine",
     {"POST /p HTTP/1.0|a=1&b=2", "GET /b HTTP/1.0|"}},
    {"PostTemporaryKeepsMethodAndBody",
     hcPost,
     {To("307 Temporary", "/b"), Ok},
     Then(Redirected, Result("Success", hcPost)),
     200,
     "fine",
     {"POST /p HTTP/1.0|a=1&b=2", "POST /b HTTP/1.0|a=1&b=2"}},
    {"PostPermanentKeepsMethodAndBody",
     hcPost,
     {To("308 Permanent", "/b"), Ok},
     Then(Redirected, Result("Success", hcPost)),
     200,
     "fine",
     {"POST /p HTTP/1.0|a=1&b=2", "POST /b HTTP/1.0|a=1&b=2"}},
    {"PostAfterGetStaysGet",
     hcPost,
     {To("303 See Other", "/b"), To("307 Temporary", "/c"), Ok},
     Then(Then(Redirected, Redirected), Result("Success", hcPost)),
     200,
     "fine",
     {"POST /p HTTP/1.0|a=1&b=2", "GET /b HTTP/1.0|", "GET /c HTTP/1.0|"}},
    {"HeadSeeOtherStaysHead",
     hcHead,
     {To("303 See Other", "/b"), "HTTP/1.0 200 OK\r\n\r\n"},
     Then(Redirected, Result("Success", hcHead)),
     200,
     "",
     {"HEAD /p HTTP/1.0|", "HEAD /b HTTP/1.0|"}},
    {"PutMovedKeepsMethodAndBody",
     hcPut,
     {To("301 Moved", "/b"), Ok},
     Then(Redirected, Result("Success", hcPut)),
     200,
     "fine",
     {"PUT /p HTTP/1.0|put-data", "PUT /b HTTP/1.0|put-data"}},
    {"PutSeeOtherBecomesGet",
     hcPut,
     {To("303 See Other", "/b"), Ok},
     Then(Redirected, Result("Success", hcPut)),
     200,
     "fine",
     {"PUT /p HTTP/1.0|put-data", "GET /b HTTP/1.0|"}},
    {"DeleteFoundKeepsMethod",
     hcDelete,
     {To("302 Found", "/b"), Ok},
     Then(Redirected, Result("Success", hcDelete)),
     200,
     "fine",
     {"DELETE /p HTTP/1.0|", "DELETE /b HTTP/1.0|"}},

    // The body ends where its framing says, into every destination, and what follows is no
    // part of it; the connection is kept (Hold), which would hold the request to the time-out.
    Framed("LengthEndsTheBody", hcGet, "200 OK\r\nContent-Length: 4", Done, 200, "fine", nullptr,
           [](TVelHTTP& H, LoopContext&) { EXPECT_EQ(H.BytesRecvd, 4); }),
    Framed(
        "LengthEndsTheBodyInTheFile", hcGet, "200 OK\r\nContent-Length: 4", Done, 200, "@body",
        [](TVelHTTP& H, LoopContext& C) { H.InputFileMode = true, H.Body = C.Dir + "/body"; },
        [](TVelHTTP& H, LoopContext&) { EXPECT_EQ(FileText(H.Body), "fine"); }),
    Framed(
        "LengthEndsTheBodyInTheSink", hcGet, "200 OK\r\nContent-Length: 4", Done, 200, "",
        [](TVelHTTP& H, LoopContext& C) {
          H.BodySink = [&C](std::string_view B) { C.Sunk.append(B); };
        },
        [](TVelHTTP&, LoopContext& C) { EXPECT_EQ(C.Sunk, "fine"); }),
    Framed("NoContentHasNoBody", hcGet, "204 No Content", Done, 204, ""),
    Framed("NotModifiedHasNoBody", hcGet, "304 Not Modified\r\nContent-Length: 4", Redirected, 304,
           ""),
    Framed("HeadHasNoBody", hcHead, "200 OK\r\nContent-Length: 4", Result("Success", hcHead), 200,
           ""),
    // A folded Location line is one value: its parts joined with a space.
    {"FoldedLocationIsJoined",
     hcGet,
     {"HTTP/1.0 302 Found\r\nLocation: /a\r\n b\r\n\r\n", Ok},
     Then(Redirected, Done),
     200,
     "fine",
     {"GET /p HTTP/1.0|", "GET /a%20b HTTP/1.0|"}},

    // The body's bound and its sink.
    {"BodyOverTheBound",
     hcGet,
     {"HTTP/1.0 200 OK\r\n\r\nabcdefgh"},
     {"AboutToSend"},
     200,
     "abcd",
     {"GET /p HTTP/1.0|"},
     TooLarge,
     "Reply body larger than 4 bytes",
     [](TVelHTTP& H, LoopContext&) { H.MaxBodySize = 4; },
     [](TVelHTTP& H, LoopContext&) { EXPECT_EQ(H.Header, "HTTP/1.0 200 OK\r\n\r\n"); }},
    {"BodyExactlyAtTheBound",
     hcGet,
     {Ok},
     Done,
     200,
     "fine",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext&) { H.MaxBodySize = 4; }},
    {"FileModeIsNotBounded",
     hcGet,
     {Ok},
     Done,
     200,
     "@body",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.MaxBodySize = 1;
       H.InputFileMode = true;
       H.Body = C.Dir + "/body";
     },
     [](TVelHTTP& H, LoopContext&) { EXPECT_EQ(FileText(H.Body), "fine"); }},
    {"SinkTakesTheBody",
     hcGet,
     {Ok},
     Done,
     200,
     "",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.BodySink = [&C](std::string_view B) { C.Sunk.append(B); };
     },
     [](TVelHTTP& H, LoopContext& C) {
       EXPECT_EQ(C.Sunk, "fine");
       EXPECT_EQ(H.BytesRecvd, 4);
     }},
    {"SinkIsBounded",
     hcGet,
     {Ok},
     {"AboutToSend"},
     200,
     "",
     {"GET /p HTTP/1.0|"},
     TooLarge,
     "Reply body larger than 3 bytes",
     [](TVelHTTP& H, LoopContext& C) {
       H.MaxBodySize = 3;
       H.BodySink = [&C](std::string_view B) { C.Sunk.append(B); };
     },
     [](TVelHTTP&, LoopContext& C) { EXPECT_EQ(C.Sunk, "fin"); }},
    {"SinkErrorEndsTheRequest",
     hcGet,
     {Ok},
     {"AboutToSend"},
     200,
     "",
     {"GET /p HTTP/1.0|"},
     OtherError,
     "disk full",
     [](TVelHTTP& H, LoopContext&) {
       H.BodySink = [](std::string_view) { throw Exception("disk full"); };
     }},

    // The chunked coding.
    {"ChunkedBodyDecoded",
     hcGet,
     {Chunked + "3\r\nfin\r\n1;x=y\r\ne\r\n0\r\nT: 1\r\n\r\n"},
     Done,
     200,
     "fine",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     nullptr,
     [](TVelHTTP& H, LoopContext&) {
       EXPECT_EQ(H.BytesRecvd, 4);
       EXPECT_EQ(H.Header, Chunked);
     }},
    {"ChunkedIntoTheFile",
     hcGet,
     {Chunked + "4\r\nfine\r\n0\r\n\r\n"},
     Done,
     200,
     "@body",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.InputFileMode = true;
       H.Body = C.Dir + "/body";
     },
     [](TVelHTTP& H, LoopContext&) {
       EXPECT_EQ(FileText(H.Body), "fine");
       EXPECT_EQ(H.BytesRecvd, 4);
     }},
    {"ChunkedWithTheHeaderInAFile",
     hcGet,
     {Chunked + "4\r\nfine\r\n0\r\n\r\n"},
     Done,
     200,
     "fine",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.OutputFileMode = true;
       H.Header = C.Dir + "/head";
     }},
    {"ChunkedMalformedKeepsWhatWasDecoded",
     hcGet,
     {Chunked + "3\r\nfin\r\nzz\r\n"},
     {"AboutToSend"},
     200,
     "fin",
     {"GET /p HTTP/1.0|"},
     Malformed,
     "Malformed chunked body"},
    {"ChunkedCutByTheClose",
     hcGet,
     {Chunked + "5\r\nfi"},
     {"AboutToSend"},
     200,
     "fi",
     {"GET /p HTTP/1.0|"},
     Cut,
     "transfer closed with outstanding read data remaining"},
    {"ChunkedIsBounded",
     hcGet,
     {Chunked + "3\r\nfin\r\n1\r\ne\r\n0\r\n\r\n"},
     {"AboutToSend"},
     200,
     "fin",
     {"GET /p HTTP/1.0|"},
     TooLarge,
     "Reply body larger than 3 bytes",
     [](TVelHTTP& H, LoopContext&) { H.MaxBodySize = 3; }},
    // A proxy that keeps the connection: the last chunk ends the body, not the time-out.
    {"ChunkedThroughAProxyThatKeepsTheConnection",
     hcGet,
     {Chunked + "4\r\nfine\r\n0\r\n\r\n"},
     Done,
     200,
     "fine",
     {"@proxy"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.Proxy = "127.0.0.1";
       H.ProxyPort = C.Port;
     },
     nullptr,
     true},

    // OnRedirect sees the target in URL; a target the component cannot follow is refused only
    // after OnRedirect, and not at all when the caller handles the redirection.
    {"OnRedirectSeesTheResolvedTarget",
     hcGet,
     {To("302 Found", "b?q=1#f"), Ok},
     Then(Redirected, Done),
     200,
     "fine",
     {"GET /p HTTP/1.0|", "GET /b?q=1 HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       After(H.OnRedirect, [&H, &C](bool&) { C.Sunk = H.URL; });
     },
     [](TVelHTTP&, LoopContext& C) {
       EXPECT_EQ(C.Sunk, "http://127.0.0.1:" + std::to_string(C.Port) + "/b?q=1");
     }},
    {"UnspokenSchemeHandled",
     hcGet,
     {To("302 Found", "javascript:alert(1)")},
     Redirected,
     302,
     "",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext&) { After(H.OnRedirect, [](bool& Handled) { Handled = true; }); }},
    {"UnspokenSchemeAfterOnRedirect",
     hcGet,
     {To("302 Found", "javascript:alert(1)")},
     Redirected,
     302,
     "",
     {"GET /p HTTP/1.0|"},
     OtherError,
     "Unsupported scheme in URL: javascript"},
    {"Ipv6LocationHandled",
     hcGet,
     {To("301 Moved", "http://[::1]/x")},
     Redirected,
     301,
     "",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext&) { After(H.OnRedirect, [](bool& Handled) { Handled = true; }); }},

    // Abort from a handler: no further network step; one still to come ends the request.
    {"AbortInAboutToSend",
     hcGet,
     {Ok},
     {"AboutToSend"},
     0,
     "Default.htm",  // no body read yet
     {},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext&) { After(H.OnAboutToSend, [&H](TObject*) { H.Abort(); }); }},
    {"AbortAtPassStart",
     hcGet,
     {Ok},
     {"AboutToSend"},
     0,
     "Default.htm",  // no body read yet
     {},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext&) {
       H.OnStage = [&H](TObject*, THttpStage S) {
         if (S == hsPassStart) H.Abort();
       };
     }},
    {"AbortOnceSent",
     hcPost,
     {Ok},
     {"AboutToSend"},
     0,
     "Default.htm",  // no body read yet
     {"POST /p HTTP/1.0|a=1&b=2"},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext&) {
       H.OnStage = [&H](TObject*, THttpStage S) {
         if (S == hsRequestSent) H.Abort();
       };
     }},
    {"AbortAtHeaderEnd",
     hcGet,
     {Ok},
     {"AboutToSend"},
     200,
     "Default.htm",  // no body read yet
     {"GET /p HTTP/1.0|"},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext&) {
       H.OnStage = [&H](TObject*, THttpStage S) {
         if (S == hsHeaderEnd) H.Abort();
       };
     },
     [](TVelHTTP& H, LoopContext&) { EXPECT_EQ(H.Header, "HTTP/1.0 200 OK\r\n\r\n"); }},
    {"AbortInRedirect",
     hcGet,
     {To("302 Found", "/b"), Ok},
     Redirected,
     302,
     "",
     {"GET /p HTTP/1.0|"},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext&) { After(H.OnRedirect, [&H](bool&) { H.Abort(); }); }},
    {"AbortInDisconnectBeforeAFurtherPass",
     hcGet,
     {To("302 Found", "/b"), Ok},
     Redirected,
     302,
     "",
     {"GET /p HTTP/1.0|"},
     Aborted,
     "Request aborted",
     [](TVelHTTP& H, LoopContext& C) {
       H.OnStage = [&C](TObject*, THttpStage S) { C.BodyEnded = S == hsBodyEnd; };
       H.OnDisconnect = [&H, &C](TObject*) {
         if (C.BodyEnded) H.Abort();
       };
     }},
    {"AbortInSuccessOfTheLastPass",
     hcGet,
     {Ok},
     Done,
     200,
     "fine",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext&) { After(H.OnSuccess, [&H](CmdType) { H.Abort(); }); }},
    {"AbortInDisconnectOfTheLastPass",
     hcGet,
     {Ok},
     Done,
     200,
     "fine",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext& C) {
       H.OnStage = [&C](TObject*, THttpStage S) { C.BodyEnded = S == hsBodyEnd; };
       H.OnDisconnect = [&H, &C](TObject*) {
         if (C.BodyEnded) H.Abort();
       };
     }},
    {"AbortInAuthenticationNeeded",
     hcGet,
     {"HTTP/1.0 401 Who\r\n\r\n"},
     Then(Result("Failure", hcGet), {"AuthenticationNeeded"}),
     401,
     "",
     {"GET /p HTTP/1.0|"},
     NoError,
     "",
     [](TVelHTTP& H, LoopContext&) {
       After(H.OnAuthenticationNeeded, [&H](TObject*) { H.Abort(); });
     }},
};

void PrintTo(const LoopCase& C, std::ostream* Os) { *Os << C.Name; }

// "<request line>|<body>" of a request as the server received it.
std::string Shown(const std::string& Request) {
  const auto HeaderEnd = Request.find("\r\n\r\n");
  return Request.substr(0, Request.find("\r\n")) + "|" +
         (HeaderEnd == std::string::npos ? "" : Request.substr(HeaderEnd + 4));
}

class RequestLoop : public HttpTest, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(RequestLoop, Row) {
  const LoopCase& C = GetParam();
  TempDir Dir;
  std::vector<ReplyScript> Scripts;
  for (const auto& R : C.Replies) Scripts.push_back(Whole(R));
  Scripts[0].Hold = C.Hold;
  ScriptedHttpServer Server(Scripts);
  LoopContext Context;
  Context.Dir = Dir.Path;
  Context.Port = Server.Port();

  auto& H = Make();
  H.EncodePostData = false;
  if (C.Setup) C.Setup(H, Context);
  const std::string URL = At(Server.Port(), "/p");
  ErrorKind Kind = NoError;
  std::string Error;
  try {
    switch (C.Cmd) {
      case hcPost: H.Post(URL, "a=1&b=2"); break;
      case hcPut: H.Put(URL, "put-data"); break;
      case hcHead: H.Head(URL); break;
      case hcDelete: H.Delete(URL); break;
      default: H.Get(URL); break;
    }
  } catch (const std::exception& E) {
    Kind = KindOf(E);
    Error = E.what();
  }
  EXPECT_EQ(Error, C.Error);
  EXPECT_EQ(Kind, C.Kind);
  EXPECT_EQ(Log, C.Expected);
  EXPECT_EQ(H.ReplyNumber, C.Reply);
  EXPECT_EQ(H.Body, C.Body == "@body" ? Dir.Path + "/body" : C.Body);
  // A request the client sent just before it gave up may still be on the server's side.
  const std::size_t Want = C.Requests.size();
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Server.Requests().size() < Want && std::chrono::steady_clock::now() < Deadline)
    ::poll(nullptr, 0, 1);
  Lines Requests;
  for (const auto& R : Server.Requests()) {
    Requests.push_back(Shown(R));
    // A request without a body announces none.
    if (Requests.back().back() == '|') {
      EXPECT_EQ(R.find("Content-Length"), std::string::npos) << R;
    }
  }
  if (C.Requests == Lines{"@proxy"})
    EXPECT_EQ(Requests, Lines{"GET " + URL + " HTTP/1.0|"});
  else
    EXPECT_EQ(Requests, C.Requests);
  EXPECT_FALSE(H.Connected);
  EXPECT_FALSE(H.Busy());
  EXPECT_FALSE(H.Canceled) << "an abort must not outlive its request";
  EXPECT_EQ(H.CurrentCmd, C.Cmd) << "the caller's command is back after the request";
  if (C.Extra) C.Extra(H, Context);
}

INSTANTIATE_TEST_SUITE_P(Table, RequestLoop, ::testing::ValuesIn(LoopCases),
                         [](const auto& I) { return std::string(I.param.Name); });

}  // namespace
