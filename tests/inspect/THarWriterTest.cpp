// The HAR writer: the scripted three-hop exchange against its stored reference, every field
// HAR 1.2 requires, and the mapping of passes to timings, requests and responses by tables.
//
// To write the reference again after a deliberate change of what the component sends or
// records, run the suite once with ORRERY_UPDATE_REFERENCE=1 and review the file's diff.
#include "inspect/THarWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "OrreryVersion.h"
#include "base/Exception.h"
#include "http/HttpErrors.h"
#include "tests/inspect/InspectFixture.h"
#include "tests/support/HarFields.h"
#include "tests/support/HarMask.h"

using nlohmann::json;

namespace {

const std::string ReferenceFile = std::string(ORRERY_INSPECT_DATA) + "/three-hops.har";

json Har(const std::vector<TExchangePass>& Passes, const std::string& Error = "") {
  return json::parse(THarWriter::Text(THarWriter::Document(Passes, Error)));
}

class HarExchangeTest : public InspectTest {
 protected:
  std::string ThreeHopsHar() {
    RecordThreeHops();
    return THarWriter::Text(THarWriter::Document(*Recorder));
  }
};

TEST_F(HarExchangeTest, ThreeHopsEqualTheStoredReference) {
  const std::string Text = ThreeHopsHar();
  if (std::getenv("ORRERY_UPDATE_REFERENCE"))
    std::ofstream(ReferenceFile, std::ios::binary) << Text;
  const std::string Reference = FileText(ReferenceFile);
  ASSERT_FALSE(Reference.empty()) << "missing " << ReferenceFile;
  EXPECT_EQ(testsupport::MaskedHarText(Text), testsupport::MaskedHarText(Reference));
}

// Every field HAR 1.2 requires, with its type, on every entry: of the three hops and of a
// pass that failed before any reply.
TEST_F(HarExchangeTest, EveryRequiredFieldIsThere) {
  TExchangePass Failed;
  Failed.Method = "GET";
  Failed.URL = "http://127.0.0.1:9/";
  Failed.RequestHeader = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  Failed.Error = "Connection Failed";
  const std::vector<json> Documents = {json::parse(ThreeHopsHar()), Har({Failed})};

  for (const json& Doc : Documents) {
    testsupport::ExpectRequiredHarFields(Doc);
    for (const json& Entry : Doc["log"]["entries"]) {
      EXPECT_EQ(Entry["timings"]["blocked"], -1);
      for (const char* List : {"/request/headers", "/response/headers", "/request/cookies",
                               "/response/cookies", "/request/queryString"})
        for (const json& Pair : Entry.at(json::json_pointer(List))) {
          EXPECT_TRUE(Pair["name"].is_string()) << List;
          EXPECT_TRUE(Pair["value"].is_string()) << List;
        }
      // time is the sum of the timings that apply.
      double Sum = 0;
      for (const auto& T : Entry["timings"]) Sum += T.get<double>() > 0 ? T.get<double>() : 0;
      EXPECT_NEAR(Entry["time"].get<double>(), Sum, 0.01);
    }
  }
}

// --- Passes built by hand -----------------------------------------------------------------

using Stages = std::array<std::optional<double>, ExchangeStageCount>;

struct TimingCase {
  std::string Name;
  Stages At;                       // looked up, connected, sent, status line, header end, body end
  std::array<double, 5> Expected;  // dns, connect, send, wait, receive
  double Time;
  std::optional<double> EndedAt = std::nullopt;
  std::optional<THostQuestion> Question = std::nullopt;
  double Blocked = -1;
};

TEST(HarTimings, FollowTheStagesReached) {
  const auto N = std::nullopt;
  const THostQuestion Asked{2, 10, "h"};
  const std::vector<TimingCase> Cases = {
      {"named host", {2, 5, 6, 10, 11, 20}, {2, 3, 1, 4, 10}, 20},
      {"dotted address", {N, 5, 6, 10, 11, 20}, {-1, 5, 1, 4, 10}, 20},
      {"refused", {N, N, N, N, N, N}, {-1, -1, -1, -1, -1}, 0},
      {"looked up, not connected", {2, N, N, N, N, N}, {2, -1, -1, -1, -1}, 2},
      {"no reply", {N, 1, 2, N, N, N}, {-1, 1, 1, -1, -1}, 2},
      {"closed at once", {N, 1, 2, N, 3, 3}, {-1, 1, 1, 1, 0}, 3},
      {"reset mid-body", {N, 1, 2, 4, 4.5, N}, {-1, 1, 1, 2, -1}, 4},
      {"fractions", {N, 1.23456, 1.5, 2, 2, 2.0004}, {-1, 1.235, 0.265, 0.5, 0}, 2},
      // Once the request is sent, the stage in progress lasts until the error or the stop.
      {"stopped mid-body", {N, 1, 2, 4, 4.5, N}, {-1, 1, 1, 2, 1496}, 1500, 1500},
      {"stopped waiting", {N, 1, 2, N, N, N}, {-1, 1, 1, 7, -1}, 9, 9},
      {"refused after 3 ms", {N, N, N, N, N, N}, {-1, -1, -1, -1, -1}, 0, 3},
      // The user was asked for another host from 2 to 10 ms: "blocked", no stage's time.
      {"another host given", {12, 13, 14, 15, 15, 16}, {4, 1, 1, 1, 1}, 16, 16, Asked, 8},
      {"another dotted host", {N, 13, 14, 15, 15, 16}, {2, 3, 1, 1, 1}, 16, 16, Asked, 8},
  };
  const char* Names[] = {"dns", "connect", "send", "wait", "receive"};
  for (const TimingCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TExchangePass P;
    P.At = C.At;
    P.EndedAt = C.EndedAt;
    P.HostQuestion = C.Question;
    const json E = json::parse(THarWriter::Entry(P).dump());
    EXPECT_EQ(E["timings"]["blocked"], C.Blocked);
    for (int I = 0; I < 5; ++I)
      EXPECT_NEAR(E["timings"][Names[I]].get<double>(), C.Expected[I], 1e-9) << Names[I];
    EXPECT_NEAR(E["time"].get<double>(), C.Time, 1e-9);
  }
}

// A pass and what its entry must hold (JSON pointers into the entry), and must not.
struct EntryCase {
  std::string Name;
  TExchangePass Pass;
  std::vector<std::pair<std::string, json>> Holds;
  std::vector<std::string> Lacks;
};

TExchangePass Replied(const std::string& Header, const std::string& Body, std::int64_t Bytes = -1) {
  TExchangePass P;
  P.Method = "GET";
  P.URL = "http://h/";
  P.RequestHeader = "GET / HTTP/1.0\r\nHost: h\r\n\r\n";
  P.ReplyHeader = Header;
  P.ReplyNumber = 200;
  P.Body = Body;
  P.BodyBytes = Bytes < 0 ? static_cast<std::int64_t>(Body.size()) : Bytes;
  P.At = {std::nullopt, 1, 2, 3, 4, 5};
  return P;
}

TExchangePass Failed(TExchangePass P, const std::string& Error, bool HeaderRead,
                     std::optional<double> EndedAt = std::nullopt) {
  P.Error = Error;
  P.EndedAt = EndedAt;
  P.At[xsBodyEnd].reset();
  if (!HeaderRead) {
    P.At = {};
    P.ReplyHeader.clear();
    P.ReplyNumber = 0;
  }
  return P;
}

TExchangePass Sent(const std::string& Method, const std::string& URL, const std::string& Header,
                   const std::string& Body = "") {
  TExchangePass P = Replied("HTTP/1.0 200 OK\r\n\r\n", "");
  P.Method = Method;
  P.URL = URL;
  P.RequestHeader = Header;
  P.RequestBody = Body;
  P.RequestBodySize = static_cast<std::int64_t>(Body.size());
  return P;
}

const std::string OkHeader = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";

TTlsReason SelfSigned() {
  TTlsReason R;
  R.Problem = TTlsProblem::tpSelfSigned;
  return R;
}

// An https pass connected at 1 ms (through a tunnel until 1.2 ms, when the handshake starts),
// secured at 1.5 ms; Waived: -k let a chain through
// that failed the check.
TExchangePass Secured(bool Waived) {
  TExchangePass P = Replied(OkHeader, "");
  P.TlsStartedAt = 1.2;
  P.SecuredAt = 1.5;
  TTlsFacts F;
  F.Version = "TLSv1.3";
  F.Cipher = "TLS_AES_128_GCM_SHA256";
  F.Group = "X25519";
  F.Alpn = "http/1.0";
  F.Sni = "a.test";
  F.VerifyWaived = Waived;
  F.Outcome.HandshakeDone = true;
  F.Outcome.VerifyResult = Waived ? 18 : 0;
  F.Chain.resize(1);
  F.Chain[0].DnsNames = {"a.test"};
  F.Chain[0].NotBefore = 86400;
  F.Chain[0].KeyBits = 256;
  P.Tls = F;
  return P;
}
// A pass on stream 3 of an HTTP/2 connection, as the component records it: its frames from
// the request on, the last two only counted.
TExchangePass Spoken2() {
  TExchangePass P = Replied("HTTP/2 200 \r\ncontent-type: text/plain\r\n\r\n", "ok");
  P.URL = "https://h/";
  P.RequestHeader = "GET / HTTP/2\r\nHost: h\r\n\r\n";
  P.Stream = 3;
  P.Frames = {{true, THttp2Frame::ftHeaders, 0x5, 3, 18, ":method: GET\r\n", 0, 0, ""},
              {false, THttp2Frame::ftSettings, 0x0, 0, 6, "", 0, 0, "MAX_CONCURRENT_STREAMS=100"},
              {false, THttp2Frame::ftGoAway, 0x0, 0, 8, "", 2, 3, ""}};
  P.FrameTimes = {1.25, 3.5, 4};
  P.FramesLeftOut = 2;
  return P;
}

const std::string Cut = std::string(TExchangePass::BodyKept - 1, 'a') + "\xC3";
const std::string Continued =
    "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 302 Found\r\nLocation: /next\r\n"
    "Content-Type: text/plain\r\nContent-Length: 0\r\n\r\n";

std::vector<EntryCase> EntryCases() {
  const std::string Form =
      "POST /f HTTP/1.0\r\nHost: h\r\nContent-type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\n";
  return {
      {"text body",
       Replied(OkHeader, "<p>caf\xC3\xA9</p>"),
       {{"/response/content/text", "<p>caf\xC3\xA9</p>"},
        {"/response/content/mimeType", "text/html"},
        {"/response/content/size", 12},
        {"/response/status", 200},
        {"/response/statusText", "OK"},
        {"/response/httpVersion", "HTTP/1.0"},
        {"/response/headersSize", OkHeader.size()},
        {"/response/bodySize", 12},
        {"/response/headers", json::array({{{"name", "Content-Type"}, {"value", "text/html"}}})}},
       {"/response/content/encoding", "/response/_error", "/response/content/_textKept", "/_tls",
        "/_tunnel", "/response/_warning", "/_stream", "/_frames", "/_framesLeftOut"}},
      {"HTTP/2",
       Spoken2(),
       {{"/request/httpVersion", "h2"},
        {"/response/httpVersion", "h2"},
        {"/response/statusText", ""},
        {"/_stream", 3},
        {"/_frames/0", {{"direction", "sent"}, {"type", "HEADERS"},
                        {"flags", "END_STREAM|END_HEADERS"}, {"stream", 3}, {"length", 18},
                        {"time", 1.25}, {"headers", ":method: GET\r\n"}}},
        {"/_frames/1/detail", "MAX_CONCURRENT_STREAMS=100"},
        {"/_frames/2", {{"direction", "received"}, {"type", "GOAWAY"}, {"flags", ""},
                        {"stream", 0}, {"length", 8}, {"time", 4}, {"errorCode", "INTERNAL_ERROR"},
                        {"lastStream", 3}}},
        {"/_framesLeftOut", 2}},
       {"/_frames/1/headers", "/_frames/1/errorCode"}},
      {"body shorter than announced",
       Replied("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n", "0123"),
       {{"/response/status", 200},
        {"/response/_error", "transfer closed with 6 bytes remaining to read"},
        {"/response/comment", "Corps incomplet : 4 octets sur 10"}},
       {}},
      {"PNG body",
       Replied(OkHeader, std::string("\x89PNG\r\n\x1a\n\0", 9)),
       {{"/response/content/text", "iVBORw0KGgoA"}, {"/response/content/encoding", "base64"}},
       {}},
      {"Windows-1252 body",
       Replied(OkHeader, "caf\xE9"),
       {{"/response/content/text", "Y2Fm6Q=="}, {"/response/content/encoding", "base64"}},
       {}},
      {"NUL in ASCII",
       Replied(OkHeader, std::string("a\0b", 3)),
       {{"/response/content/encoding", "base64"}},
       {}},
      {"cut inside a character",
       Replied(OkHeader, Cut, 5 << 20),
       {{"/response/content/text", Cut.substr(0, Cut.size() - 1)},
        {"/response/content/size", 5 << 20},
        {"/response/content/_textKept", Cut.size() - 1},
        {"/response/content/comment", "text holds the first 1048575 of 5242880 bytes"},
        {"/response/bodySize", 5 << 20}},
       {"/response/content/encoding"}},
      {"ends inside a character, whole",
       Replied(OkHeader, "ab\xC3"),
       {{"/response/content/encoding", "base64"}},
       {}},
      {"no content type, longer reason",
       Replied("HTTP/1.1 404 Not Found Here\r\n\r\n", ""),
       {{"/response/statusText", "Not Found Here"},
        {"/response/httpVersion", "HTTP/1.1"},
        {"/response/content/mimeType", ""},
        {"/response/content/text", ""}},
       {}},
      {"body not kept (file mode)",
       Replied(OkHeader, "", 5000),
       {{"/response/content/size", 5000}, {"/response/bodySize", 5000}},
       {"/response/content/text", "/response/content/encoding"}},
      {"no reason", Replied("HTTP/1.0 204\r\n\r\n", ""), {{"/response/statusText", ""}}, {}},
      {"decoded body",
       [] {
         TExchangePass P = Replied(OkHeader, "hello hello", 5);
         P.DecodedBytes = 11;
         return P;
       }(),
       {{"/response/content/size", 11},
        {"/response/content/compression", 6},
        {"/response/bodySize", 5},
        {"/response/content/text", "hello hello"}},
       {}},
      {"redirection with cookies",
       Replied("HTTP/1.0 302 Found\r\nLocation: /next\r\nSet-Cookie: a=1; Path=/x; "
               "Domain=d; HttpOnly; Secure\r\nset-cookie: b\r\n\r\n",
               ""),
       {{"/response/redirectURL", "/next"},
        {"/response/cookies", json::array({{{"name", "a"},
                                            {"value", "1"},
                                            {"path", "/x"},
                                            {"domain", "d"},
                                            {"httpOnly", true},
                                            {"secure", true}},
                                           {{"name", "b"}, {"value", ""}}})}},
       {}},
      {"final reply after 100 Continue",
       [] {
         TExchangePass P = Replied(Continued, "");
         P.ReplyNumber = 302;
         return P;
       }(),
       {{"/response/status", 302},
        {"/response/statusText", "Found"},
        {"/response/httpVersion", "HTTP/1.1"},
        {"/response/redirectURL", "/next"},
        {"/response/content/mimeType", "text/plain"},
        {"/response/headersSize", Continued.size()},
        {"/response/headers", json::array({{{"name", "Location"}, {"value", "/next"}},
                                           {{"name", "Content-Type"}, {"value", "text/plain"}},
                                           {{"name", "Content-Length"}, {"value", "0"}}})}},
       {}},
      // The header came whole: its status stays, and the reception lasts until the reset.
      {"failed midway",
       Failed(Replied(OkHeader, "0123"), "Connection reset by peer", true, 1500),
       {{"/response/status", 200},
        {"/response/statusText", "OK"},
        {"/response/_error", "Connection reset by peer"},
        {"/response/httpVersion", "HTTP/1.0"},
        {"/response/bodySize", 4},
        {"/response/content/text", "0123"},
        {"/timings/receive", 1497}},
       {}},
      {"stopped by the user", [] {
         TExchangePass P = Failed(Replied(OkHeader, "01"), "Socket capture aborted", true, 6);
         P.Stopped = true;
         return P;
       }(), {{"/response/status", 200}, {"/response/_error", "Stopped by the user"}}, {}},
      {"failed before any reply",
       Failed(Replied(OkHeader, ""), "Connection Failed", false),
       {{"/response/status", 0},
        {"/response/_error", "Connection Failed"},
        {"/response/httpVersion", ""},
        {"/response/headers", json::array()},
        {"/response/headersSize", -1},
        {"/response/bodySize", -1},
        {"/time", 0}},
       {}},
      {"failed connecting, its step named",
       [] {
         TExchangePass P = Failed(Replied(OkHeader, ""), "Connection Timed out", false);
         P.ErrorStep = TSockStep::ssConnect;
         return P;
       }(),
       {{"/response/_errorStep", "connect"}},
       {"/timings/ssl"}},
      // A TLS handshake counts in the connection, as HAR has it, and once in the total.
      {"secured",
       [] {
         TExchangePass P = Replied(OkHeader, "");
         P.SecuredAt = 1.5;
         return P;
       }(),
       {{"/timings/connect", 1.5}, {"/timings/ssl", 0.5}, {"/timings/send", 0.5}, {"/time", 5}},
       {}},
      {"TLS session",
       Secured(false),
       {{"/_tls/version", "TLSv1.3"}, {"/_tls/cipher", "TLS_AES_128_GCM_SHA256"},
        {"/_tls/group", "X25519"}, {"/_tls/alpn", "http/1.0"}, {"/_tls/sni", "a.test"},
        {"/_tls/resumed", false}, {"/_tls/verified", true}, {"/_tls/waived", false},
        {"/_tls/reason", ""}, {"/_tls/chain/0/dnsNames", json::array({"a.test"})},
        {"/_tls/chain/0/notBefore", "1970-01-02T00:00:00Z"}, {"/_tls/chain/0/keyBits", 256},
        {"/timings/ssl", 0.3}, {"/timings/connect", 1.5}},
       {}},
      {"TLS check waived", Secured(true), {{"/_tls/verified", false}, {"/_tls/waived", true}}, {}},
      // A handshake begun is the stage a failure ends the pass in: ssl lasts until then,
      // inside connect, and nothing was sent.
      {"TLS check failed",
       [] {
         TExchangePass P = Failed(Secured(false), "certificate has expired", false, 3);
         P.At[xsConnected] = 1;
         P.SecuredAt.reset();
         P.Tls->Reason = SelfSigned();
         return P;
       }(),
       {{"/_tls/reason", ReasonInEnglish(SelfSigned())},
        {"/timings/ssl", 1.8}, {"/timings/connect", 3}, {"/timings/send", -1}},
       {}},
      {"tunnel and a body maybe cut",
       [] {
         TExchangePass P = Secured(false);
         P.TunnelRequest = "CONNECT a.test:443 HTTP/1.0\r\n\r\n";
         P.TunnelReply = "HTTP/1.0 200 OK\r\n\r\n";
         P.TunnelStatus = 200;
         P.BodyMayBeCut = true;
         return P;
       }(),
       {{"/_tunnel", {{"request", "CONNECT a.test:443 HTTP/1.0\r\n\r\n"},
                      {"response", "HTTP/1.0 200 OK\r\n\r\n"}, {"status", 200}}},
        {"/response/_warning", TlsCutMessage}},
       {"/response/_error"}},
      {"query and cookies",
       Sent("GET", "http://h/p?a=1&b=&c&&d=%41#frag",
            "GET /p?a=1&b=&c&&d=%41 HTTP/1.0\r\nHost: h\r\nCookie: s=1; t=x=y;\r\n\r\n"),
       {{"/request/queryString", json::array({{{"name", "a"}, {"value", "1"}},
                                              {{"name", "b"}, {"value", ""}},
                                              {{"name", "c"}, {"value", ""}},
                                              {{"name", "d"}, {"value", "%41"}}})},
        {"/request/cookies",
         json::array({{{"name", "s"}, {"value", "1"}}, {{"name", "t"}, {"value", "x=y"}}})},
        {"/request/url", "http://h/p?a=1&b=&c&&d=%41"},
        {"/request/httpVersion", "HTTP/1.0"},
        {"/request/headersSize", 65},
        {"/request/bodySize", 0}},
       {"/request/postData"}},
      {"form body",
       Sent("POST", "http://h/f", Form, "a%3D1+b"),
       {{"/request/postData",
         {{"mimeType", "application/x-www-form-urlencoded"}, {"text", "a%3D1+b"}}},
        {"/request/bodySize", 7},
        {"/request/headers/2", {{"name", "Content-Length"}, {"value", "7"}}}},
       {"/request/postData/_encoding"}},
      {"binary body",
       Sent("PUT", "http://h/", "PUT / HTTP/1.0\r\nContent-Length: 3\r\n\r\n",
            std::string("x\0y", 3)),
       {{"/request/postData", {{"mimeType", ""}, {"text", "eAB5"}, {"_encoding", "base64"}}}},
       {}},
      {"empty body announced",
       Sent("POST", "http://h/", "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n"),
       {{"/request/postData/text", ""}},
       {}},
      {"wrapped",
       Sent("", "http://h/", "Host: h\r\nContent-Length: 1\r\n\r\n", "z"),
       {{"/request/method", ""},
        {"/request/httpVersion", ""},
        {"/request/headers/0", {{"name", "Host"}, {"value", "h"}}}},
       {}},
  };
}

TEST(PassRecord, ErrorStepOfEachKindOfError) {
  EXPECT_EQ(TExchangePass::ErrorStepOf(EAbortError("x", TSockStep::ssSend)), TSockStep::ssSend);
  EXPECT_EQ(TExchangePass::ErrorStepOf(EHttpMalformedChunk()), TSockStep::ssReceive);
  EXPECT_EQ(TExchangePass::ErrorStepOf(EHttpBodyTooLarge(1)), TSockStep::ssReceive);
  EXPECT_EQ(TExchangePass::ErrorStepOf(EHttpUrlError("x")), TSockStep::ssNone);
  EXPECT_EQ(TExchangePass::ErrorStepOf(EHttpChunkedBodyCut()), TSockStep::ssReceive);
  using enum TSockCause;
  EXPECT_TRUE(TExchangePass::IsStop(EAbortError("x", TSockStep::ssReceive, scCanceled)));
  EXPECT_FALSE(TExchangePass::IsStop(EAbortError("x", TSockStep::ssReceive, scTimedOut)));
}

TEST(HarEntries, HoldWhatEachPassRecorded) {
  for (const EntryCase& C : EntryCases()) {
    SCOPED_TRACE(C.Name);
    const json E = json::parse(THarWriter::Text(THarWriter::Entry(C.Pass)));
    for (const auto& [Pointer, Value] : C.Holds) {
      ASSERT_TRUE(E.contains(json::json_pointer(Pointer))) << Pointer;
      EXPECT_EQ(E.at(json::json_pointer(Pointer)), Value) << Pointer;
    }
    for (const std::string& Pointer : C.Lacks)
      EXPECT_FALSE(E.contains(json::json_pointer(Pointer))) << Pointer;
  }
}

TEST(HarDocument, CarriesTheRequestsErrorAndSurvivesBytesThatAreNotUtf8) {
  TExchangePass P = Replied("HTTP/1.0 200 OK\r\nX-Name: caf\xE9\r\n\r\n", "");
  P.URL = "http://h/\xFF";
  const json Doc = Har({P, P}, "Too many redirections");
  EXPECT_EQ(Doc["log"]["entries"].size(), 2u);
  EXPECT_EQ(Doc["log"]["_error"], "Too many redirections");
  EXPECT_EQ(Doc["log"]["entries"][0]["response"]["headers"][0]["value"], "caf\xEF\xBF\xBD");
  EXPECT_EQ(Doc["log"]["entries"][0]["request"]["url"], "http://h/\xEF\xBF\xBD");
  EXPECT_FALSE(Har({P}).at("log").contains("_error"));
  EXPECT_EQ(Har({}).at("log").at("entries"), json::array());
}

TEST(HarDocument, IsoTimesCarryMillisecondsAndTheLocalOffset) {
  struct Row {
    const char* Zone;
    std::int64_t Ms;
    const char* Expected;
  };
  const Row Rows[] = {
      {"UTC0", 0, "1970-01-01T00:00:00.000+00:00"},
      {"UTC0", -1, "1969-12-31T23:59:59.999+00:00"},
      {"IST-05:30", 1700000000123, "2023-11-15T03:43:20.123+05:30"},
      {"BRT+03", 1700000000999, "2023-11-14T19:13:20.999-03:00"},
      {"NPT-05:45", 1700000000000, "2023-11-15T03:58:20.000+05:45"},
  };
  const char* Saved = std::getenv("TZ");
  const std::string Before = Saved ? Saved : "";
  for (const Row& R : Rows) {
    ::setenv("TZ", R.Zone, 1);
    ::tzset();
    const std::chrono::system_clock::time_point T{std::chrono::milliseconds(R.Ms)};
    EXPECT_EQ(THarWriter::IsoTime(T), R.Expected) << R.Zone;
  }
  if (Saved)
    ::setenv("TZ", Before.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// The names in a folder.
std::vector<std::string> Listing(const std::string& Dir) {
  std::vector<std::string> Names;
  for (const auto& E : std::filesystem::directory_iterator(Dir))
    Names.push_back(E.path().filename().string());
  std::sort(Names.begin(), Names.end());
  return Names;
}

// A regular file goes in whole under a temporary name of its own, then is renamed over the
// file: a link or file placed at a name one could guess is never written through, the
// new file gets the usual mode, and a failure leaves nothing behind. Anything else is
// written in place and stays what it was: a link a link, a FIFO a FIFO, a device a device.
TEST(HarDocument, SaveReplacesOnlyARegularFile) {
  const TempDir Scratch;
  const std::string Dir = Scratch.Path + "/save";
  const auto Doc = THarWriter::Document({Replied(OkHeader, "x")});
  int Fifo = -1;  // the reader's end, open before the save; the document fits its buffer
  struct Row {
    std::string Name;
    std::function<void(const std::string& Target)> Before;  // what lies there beforehand
    bool Fails;
  };
  const std::vector<Row> Rows = {
      {"new file", [](const std::string&) {}, false},
      {"old file", [](const std::string& T) { std::ofstream(T) << "old"; }, false},
      {"links at guessable names",
       [&](const std::string& T) {
         std::ofstream(Dir + "/victim") << "keep";
         for (const char* Suffix : {".part", ".tmp", "~", ".XXXXXX"})
           std::filesystem::create_symlink(Dir + "/victim", T + Suffix);
       },
       false},
      {"link to a file",
       [&](const std::string& T) {
         std::ofstream(Dir + "/to") << "old";
         std::filesystem::create_symlink(Dir + "/to", T);
       },
       false},
      {"FIFO with a reader",
       [&](const std::string& T) {
         ::mkfifo(T.c_str(), 0600);
         Fifo = ::open(T.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
       },
       false},
      {"FIFO without a reader", [](const std::string& T) { ::mkfifo(T.c_str(), 0600); }, true},
      // Through a link: a fault then replaces the link, never a device of the machine's.
      {"null device", [](const std::string& T) { std::filesystem::create_symlink("/dev/null", T); },
       false},
      {"full device", [](const std::string& T) { std::filesystem::create_symlink("/dev/full", T); },
       true},
      {"missing folder", [](const std::string&) {}, true},
      {"a folder in the way", [](const std::string& T) { std::filesystem::create_directory(T); },
       true},
  };
  const ::mode_t Mask = ::umask(022);
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    const std::string Target = Dir + (R.Name == "missing folder" ? "/missing/out.har" : "/out.har");
    R.Before(Target);
    struct stat Was {};
    const bool Existed = ::lstat(Target.c_str(), &Was) == 0;
    const auto Present = Listing(Dir);
    if (R.Fails) {
      EXPECT_ANY_THROW(THarWriter::Save(Target, Doc));
      EXPECT_EQ(Listing(Dir), Present) << "nothing left behind";
      continue;
    }
    THarWriter::Save(Target, Doc);
    struct stat Is {};
    ASSERT_EQ(::lstat(Target.c_str(), &Is), 0);
    EXPECT_EQ(Is.st_mode & S_IFMT, Existed ? Was.st_mode & S_IFMT : S_IFREG) << "what it was";
    std::string Landed(1 << 16, '\0');
    if (S_ISFIFO(Is.st_mode))
      Landed.resize(std::max<::ssize_t>(0, ::read(Fifo, &Landed[0], 1 << 16)));
    EXPECT_EQ(S_ISFIFO(Is.st_mode) ? Landed : FileText(Target),
              R.Name == "null device" ? "" : THarWriter::Text(Doc));
    auto Expected = Present;
    if (std::find(Expected.begin(), Expected.end(), "out.har") == Expected.end())
      Expected.push_back("out.har");
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(Listing(Dir), Expected) << "no temporary file left";
    if (std::filesystem::exists(Dir + "/victim")) {
      EXPECT_EQ(FileText(Dir + "/victim"), "keep");
    }
    EXPECT_EQ(Is.st_mode & 0777, Existed ? Was.st_mode & 0777 : 0644u);
  }
  EXPECT_THROW(THarWriter::Save(Dir + "/missing/out.har", Doc), EFCreateError);
  ::close(Fifo);
  ::umask(Mask);
}

}  // namespace
