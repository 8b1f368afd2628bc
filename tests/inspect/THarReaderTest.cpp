// The HAR reader: Chrome's, Firefox's and Orrery's own files (stored samples written by hand),
// entries refused for what they would send, broken files, and timings into stage times.
#include "inspect/THarReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "http/Base64.h"
#include "inspect/THarWriter.h"
#include "tests/support/HarMask.h"

using nlohmann::json;

namespace {

const std::string Data = std::string(ORRERY_INSPECT_DATA);

std::string Names(const std::vector<THeaderField>& Fields) {
  std::string Out;
  for (const THeaderField& F : Fields) Out += (Out.empty() ? "" : ",") + F.Name;
  return Out;
}

struct TSampleRow {
  const char* File;
  std::size_t Entry;
  const char* RequestHeader;
  const char* ReplyHeader;
  std::string Body;
  std::int64_t BodyBytes;
  bool Http2;
  const char* Fields;    // names a replay may copy
  const char* Composed;  // names the component composes
  const char* Refused;
};

class HarSampleTest : public ::testing::TestWithParam<TSampleRow> {};

TEST_P(HarSampleTest, EntryBecomesThePassItRecorded) {
  const TSampleRow& R = GetParam();
  const THarLog Log = THarReader::ReadFile(Data + "/har/" + R.File);
  ASSERT_EQ(Log.Error, "");
  ASSERT_GT(Log.Entries.size(), R.Entry);
  const THarEntry& E = Log.Entries[R.Entry];
  EXPECT_EQ(E.Index, R.Entry);
  EXPECT_EQ(E.Refused, R.Refused);
  EXPECT_EQ(E.Pass.RequestHeader, R.RequestHeader);
  EXPECT_EQ(E.Pass.ReplyHeader, R.ReplyHeader);
  EXPECT_EQ(E.Pass.Body, R.Body);
  // A browser's entry with a compression: the size of the body as held, its wire size apart.
  EXPECT_EQ(E.Pass.ContentBytes(), R.BodyBytes);
  EXPECT_EQ(E.Http2, R.Http2);
  EXPECT_EQ(Names(E.Fields), R.Fields);
  EXPECT_EQ(Names(E.Composed), R.Composed);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, HarSampleTest,
    ::testing::Values(
        // HTTP/2: pseudo-header fields gone, Host from the URL, the fragment dropped.
        TSampleRow{"chrome.har", 0,
                   "GET /items?page=2 HTTP/2\r\naccept: application/json\r\naccept-encoding: "
                   "gzip, deflate, br\r\ncookie: sid=abc\r\nuser-agent: Mozilla/5.0 (X11; Linux "
                   "x86_64)\r\nHost: shop.example\r\n\r\n",
                   "HTTP/2 200 \r\ncontent-encoding: br\r\ncontent-type: application/json; "
                   "charset=utf-8\r\ndate: Mon, 30 Nov 2026 09:12:03 GMT\r\n\r\n",
                   "{\"items\":[{\"id\":7,\"price\":10}],\"page\":2}\n\n\n", 43, true,
                   "accept,accept-encoding,cookie,user-agent", "Host", ""},
        TSampleRow{"chrome.har", 1, "GET /p.gif HTTP/2\r\nHost: cdn.shop.example\r\n\r\n",
                   "HTTP/2 200 \r\ncontent-type: image/gif\r\n\r\n",
                   std::string("GIF89a\x03\x00\x02\x00\x80\x80\x80\x00\x00\x00", 16), 16, true, "", "Host", ""},
        // Lines the component composes are shown, never left to copy; a Set-Cookie value
        // holding two lines is two fields.
        TSampleRow{"firefox.har", 0,
                   "POST /login HTTP/1.1\r\nHost: intranet.example:8080\r\nUser-Agent: "
                   "Mozilla/5.0 (X11; Linux x86_64; rv:133.0) Gecko/20100101 "
                   "Firefox/133.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                   "Content-Length: 17\r\nConnection: keep-alive\r\nProxy-Authorization: Basic "
                   "Zm9vOmJhcg==\r\nReferer: http://intranet.example:8080/\r\n\r\n",
                   "HTTP/1.1 302 Found\r\nLocation: /home\r\nSet-Cookie: sid=42; Path=/; "
                   "HttpOnly\r\nSet-Cookie: lang=fr; Path=/\r\nContent-Length: 0\r\n\r\n",
                   "", 0, false, "User-Agent,Content-Type,Referer",
                   "Host,Content-Length,Connection,Proxy-Authorization", ""},
        // A request that never got a reply: no head, no body, the error kept.
        TSampleRow{"firefox.har", 1, "GET /t.js \r\n\r\n", "", "", 0, false, "", "", ""},
        // HTTP/2 as "h2" and as "HTTP/2": the line and head the record keeps for it, Host with
        // the URL's port, and a status given as ":status" only.
        TSampleRow{"h2.har", 0,
                   "GET /v1/ping HTTP/2\r\naccept: */*\r\nHost: api.example:8443\r\n\r\n",
                   "HTTP/2 200 \r\ncontent-type: text/plain\r\n\r\n", "pong", 4, true, "accept",
                   "Host", ""},
        TSampleRow{"h2.har", 1,
                   "GET /v1/gone HTTP/2\r\naccept: */*\r\nHost: api.example:8443\r\n\r\n",
                   "HTTP/2 404 \r\n\r\n", "", 0, true, "accept", "Host", ""}));

TEST(HarReaderTest, SampleDetailsAreKeptAndNothingIsInvented) {
  const THarLog Firefox = THarReader::ReadFile(Data + "/har/firefox.har");
  ASSERT_EQ(Firefox.Entries.size(), 2u);
  const TExchangePass& Post = Firefox.Entries[0].Pass;
  EXPECT_EQ(Post.RequestBody, "user=ann&pass=x1y");
  EXPECT_EQ(Post.RequestBodySize, 17);
  EXPECT_EQ(Post.ReplyNumber, 302);
  EXPECT_EQ(Firefox.Creator, "Firefox");
  const TExchangePass& Failed = Firefox.Entries[1].Pass;
  EXPECT_EQ(Failed.Error, "NS_ERROR_NET_RESET");
  EXPECT_TRUE(Failed.Spans().empty());
  EXPECT_FALSE(Firefox.Entries[1].BodyGiven);
  // 2026-11-30T10:00:00.250+01:00
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(
                Post.StartedAt.time_since_epoch()).count(),
            1796029200250);
}

// Orrery's own file reads back into passes that write the same file again.
TEST(HarReaderTest, OwnFileReadsBackToTheSameDocument) {
  std::ifstream In(Data + "/three-hops.har", std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  const THarLog Log = THarReader::ReadText(Text.str());
  ASSERT_EQ(Log.Error, "");
  std::vector<TExchangePass> Passes;
  for (const THarEntry& E : Log.Entries) Passes.push_back(E.Pass);
  ASSERT_EQ(Passes.size(), 3u);
  EXPECT_EQ(testsupport::MaskedHarText(THarWriter::Text(THarWriter::Document(Passes))),
            testsupport::MaskedHarText(Text.str()));
}

json BaseEntry() {
  return json::parse(R"({
    "request": {"method": "GET", "url": "http://a.example/x", "httpVersion": "HTTP/1.1",
                "headers": [{"name": "Accept", "value": "*/*"}]},
    "response": {"status": 200, "statusText": "OK", "httpVersion": "HTTP/1.1", "headers": [],
                 "content": {"size": 2, "text": "hi"}},
    "timings": {"send": 1, "wait": 2, "receive": 3}})");
}

std::string Document(const std::vector<json>& Entries) {
  return json({{"log", {{"version", "1.2"}, {"entries", Entries}}}}).dump();
}

// A body sent over HTTP/2 has no Content-Length line; written again, it is kept all the same.
TEST(HarReaderTest, BodyWithoutContentLengthSurvivesTheWriter) {
  json E = BaseEntry();
  E["request"]["method"] = "POST";
  E["request"]["postData"] = {{"mimeType", "text/plain"}, {"text", "a=1"}};
  const THarLog Log = THarReader::ReadText(Document({E}));
  ASSERT_EQ(Log.Entries.size(), 1u);
  const THarLog Again =
      THarReader::ReadText(THarWriter::Text(THarWriter::Document({Log.Entries[0].Pass})));
  ASSERT_EQ(Again.Entries.size(), 1u);
  EXPECT_EQ(Again.Entries[0].Pass.RequestBody, "a=1");
}

// A decoded body keeps both sizes through a file; one without compression has one size.
TEST(HarReaderTest, DecodedSizesSurviveTheWriter) {
  json E = BaseEntry();
  E["response"]["content"] = {{"size", 11}, {"compression", 6}, {"text", "hello hello"}};
  E["response"]["bodySize"] = 5;
  json Plain = BaseEntry();
  Plain["response"]["bodySize"] = 9;
  const THarLog Log = THarReader::ReadText(Document({E, Plain}));
  ASSERT_EQ(Log.Entries.size(), 2u);
  const THarLog Again = THarReader::ReadText(
      THarWriter::Text(THarWriter::Document({Log.Entries[0].Pass, Log.Entries[1].Pass})));
  ASSERT_EQ(Again.Entries.size(), 2u);
  EXPECT_EQ(Again.Entries[0].Pass.BodyBytes, 5);
  EXPECT_EQ(Again.Entries[0].Pass.DecodedBytes, 11);
  EXPECT_EQ(Again.Entries[1].Pass.BodyBytes, 2);
  EXPECT_EQ(Again.Entries[1].Pass.DecodedBytes, std::nullopt);
}

struct TRefusalRow {
  const char* Pointer;
  json Value;
  const char* Refused;
};

class HarRefusalTest : public ::testing::TestWithParam<TRefusalRow> {};

// The entry is refused with its place and keeps nothing to send; the entries around it stay.
TEST_P(HarRefusalTest, UnsafeOrBrokenEntryIsRefused) {
  json Bad = BaseEntry();
  Bad[json::json_pointer(GetParam().Pointer)] = GetParam().Value;
  const THarLog Log = THarReader::ReadText(Document({BaseEntry(), Bad, BaseEntry()}));
  EXPECT_EQ(Log.Error, "");
  ASSERT_EQ(Log.Entries.size(), 3u);
  EXPECT_EQ(Log.Entries[1].Refused, GetParam().Refused);
  // Its method and URL stay to be shown, when they are not what is refused.
  const std::string_view Pointer = GetParam().Pointer;
  const bool OwnFault = Pointer.starts_with("/request/method") ||
                        Pointer.starts_with("/request/url");
  EXPECT_EQ(Log.Entries[1].Pass.URL, OwnFault ? "" : "http://a.example/x");
  EXPECT_EQ(Log.Entries[1].Pass.RequestHeader, "");
  EXPECT_TRUE(Log.Entries[1].Fields.empty());
  EXPECT_EQ(Log.Entries[0].Refused, "");
  EXPECT_EQ(Log.Entries[2].Refused, "");
  EXPECT_EQ(Log.Entries[2].Index, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HarRefusalTest,
    ::testing::Values(
        TRefusalRow{"/request/headers/0/name", "X Y", "log.entries[1].request.headers[0].name: not a token"},
        TRefusalRow{"/request/headers/0/name", "", "log.entries[1].request.headers[0].name: not a token"},
        TRefusalRow{"/request/headers/0/value", "a\r\nHost: evil", "log.entries[1].request.headers[0].value: holds CR, LF or NUL"},
        TRefusalRow{"/request/headers/0/value", std::string("a\0b", 3), "log.entries[1].request.headers[0].value: holds CR, LF or NUL"},
        TRefusalRow{"/request/method", "GET /x HTTP/1.1\r\n", "log.entries[1].request.method: not a token"},
        TRefusalRow{"/request/url", "http://a.example/a b", "log.entries[1].request.url: holds a blank, CR, LF or NUL"},
        TRefusalRow{"/request/url", "http://a.example/\n", "log.entries[1].request.url: holds a blank, CR, LF or NUL"},
        TRefusalRow{"/request/url", "ftp://a.example/", "log.entries[1].request.url: not an absolute http or https URL"},
        TRefusalRow{"/request/httpVersion", "HTTP/1.1\r\nX: y", "log.entries[1].request.httpVersion: holds a blank, CR, LF or NUL"},
        TRefusalRow{"/response/headers", json::parse(R"([{"name": "A", "value": "x\ry"}])"), "log.entries[1].response.headers[0].value: holds CR, LF or NUL"},
        TRefusalRow{"/request/headers/0/value", 5, "log.entries[1].request.headers[0].value: a string expected"},
        TRefusalRow{"/response/status", "200", "log.entries[1].response.status: a number expected"},
        TRefusalRow{"/response/status", 1000, "log.entries[1].response.status: not a status code"},
        TRefusalRow{"/request/url", json::object(), "log.entries[1].request.url: a string expected"},
        TRefusalRow{"/request/headers", json::object(), "log.entries[1].request.headers: an array expected"},
        TRefusalRow{"/request/headers/0", true, "log.entries[1].request.headers[0]: an object expected"},
        TRefusalRow{"/request/url", nullptr, "log.entries[1].request.url: missing"},
        TRefusalRow{"/response/content", json::parse(R"({"text": "a*b", "encoding": "base64"})"), "log.entries[1].response.content.text: not Base64"}));

struct TBrokenRow {
  std::string Text;
  std::size_t Entries;  // read before the fault, the broken one included
  const char* Error;    // the start of the message; "" for none
  const char* Refused;  // the start of the last entry's refusal
  THarFault Fault = THarFault::hfSyntax;
};

class HarBrokenFileTest : public ::testing::TestWithParam<TBrokenRow> {};

TEST_P(HarBrokenFileTest, ErrorNamesThePlaceAndKeepsWhatWasRead) {
  const TBrokenRow& R = GetParam();
  const THarLog Log = THarReader::ReadText(R.Text);
  const auto Starts = [](const std::string& Text, std::string_view Start) {
    return Start.empty() ? Text.empty() : Text.rfind(Start, 0) == 0;
  };
  EXPECT_TRUE(Starts(Log.Error, R.Error)) << Log.Error;
  EXPECT_EQ(Log.Fault, *R.Error ? R.Fault : THarFault::hfNone);
  EXPECT_LT(Log.Error.size(), 300u);  // the token quoted is cut: it may be a whole body
  ASSERT_EQ(Log.Entries.size(), R.Entries);
  if (R.Entries == 0) return;
  EXPECT_TRUE(Starts(Log.Entries.back().Refused, R.Refused)) << Log.Entries.back().Refused;
  if (R.Entries > 1) {
    EXPECT_EQ(Log.Entries[0].Pass.Body, "hi");
  }
}

const std::string Two = Document({BaseEntry(), BaseEntry()});

INSTANTIATE_TEST_SUITE_P(
    Rows, HarBrokenFileTest,
    ::testing::Values(
        TBrokenRow{Two.substr(0, Two.find("\"response\"", Two.find("\"response\"") + 1)), 2,
                   "log.entries[1].request: broken at byte", "log.entries[1].request: broken"},
        TBrokenRow{Document({BaseEntry(), 7}), 2, "", "log.entries[1]: an object expected"},
        TBrokenRow{"[1, 2]", 0, "not a HAR: the document is no object", "", THarFault::hfNotHar},
        TBrokenRow{R"({"log": {"version": "1.2"}})", 0, "not a HAR: no log.entries", "",
                   THarFault::hfNotHar},
        TBrokenRow{R"({"log": {"entries": {}}})", 0, "log.entries: an array expected", "",
                   THarFault::hfNotHar},
        TBrokenRow{R"({"log": {"entries": [{}], "entries": []}})", 1, "log.entries: given twice",
                   "log.entries[0].request.method: missing", THarFault::hfTwice},
        TBrokenRow{"", 0, "the file: broken at byte", "", THarFault::hfEmpty},
        TBrokenRow{" \n\t", 0, "the file: broken at byte", "", THarFault::hfEmpty},
        // A NUL ends nlohmann's text as its end would, but the file is not empty.
        TBrokenRow{std::string(4, '\0'), 0, "the file: broken at byte 1", "", THarFault::hfSyntax},
        TBrokenRow{"{\"log\": 1", 0, "the file: broken at byte", ""},
        TBrokenRow{Two.substr(0, Two.rfind("hi")) + std::string(5000, 'h'), 2,
                   "log.entries[1].response.content.text: broken at byte", "log.entries[1]"}));

TEST(HarReaderTest, MissingFileIsNamed) {
  const THarLog Log = THarReader::ReadFile("/nonexistent/x.har");
  EXPECT_EQ(Log.Error, "/nonexistent/x.har: No such file or directory");
  EXPECT_EQ(Log.Fault, THarFault::hfOpen);
  EXPECT_EQ(Log.OpenError, ENOENT);
}

// Reading only a regular file, a FIFO without a writer is refused at once instead of waiting.
TEST(HarReaderTest, OnlyARegularFileIsReadWhenAsked) {
  char Folder[] = "/tmp/har-reader-XXXXXX";
  ASSERT_NE(::mkdtemp(Folder), nullptr);
  const std::string Fifo = std::string(Folder) + "/fifo";
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  THarReadOptions Regular;
  Regular.RegularOnly = true;
  for (const auto& [Name, Fault] : {std::pair{Fifo, THarFault::hfPipe},
                                    {std::string(Folder), THarFault::hfDirectory},
                                    {std::string("/dev/zero"), THarFault::hfDevice}})
    EXPECT_EQ(THarReader::ReadFile(Name, Regular).Fault, Fault) << Name;
  ::unlink(Fifo.c_str());
  ::rmdir(Folder);
}

// Cut to what a live pass keeps, a body is read again whole from the file; a reading asked
// to stop ends so.
TEST(HarReaderTest, BodyCutIsReadAgainFromTheFile) {
  const std::string Whole(3000, 'x'), Binary("\x89PNG\r\n\x1A\n\0\xFF" + Whole);
  json Text = BaseEntry(), Coded = BaseEntry();
  Text["response"]["content"] = {{"size", 3000}, {"text", Whole}};
  Coded["response"]["content"] = {{"text", Base64(Binary)}, {"encoding", "base64"}};
  const std::string Name = testing::TempDir() + "/cut.har";
  std::ofstream(Name, std::ios::binary) << Document({BaseEntry(), Text, Coded});
  THarReadOptions Options;
  Options.BodyKept = 1000;
  THarProgress Progress;
  Options.Progress = &Progress;
  const THarLog Log = THarReader::ReadFile(Name, Options);
  ASSERT_EQ(Log.Entries.size(), 3u);
  EXPECT_EQ(Progress.Read, Progress.Size);
  EXPECT_EQ(Log.Entries[0].BodyAt, 0u);
  EXPECT_EQ(Log.Entries[0].Pass.Body, "hi");
  for (const auto& [Entry, Body] : {std::pair{1, Whole}, {2, Binary}}) {
    const THarEntry& E = Log.Entries[static_cast<std::size_t>(Entry)];
    EXPECT_EQ(E.Pass.Body, Body.substr(0, 1000));
    EXPECT_EQ(E.Pass.BodyBytes, static_cast<std::int64_t>(Body.size()));
    EXPECT_EQ(THarReader::ReadBody(Name, E), Body) << Entry;
  }
  Progress.Stop = true;
  EXPECT_EQ(THarReader::ReadFile(Name, Options).Fault, THarFault::hfStopped);
  EXPECT_EQ(THarReader::ReadBody(Name, Log.Entries[1], &Progress), std::nullopt);
  std::remove(Name.c_str());
}

struct TTimingRow {
  json Timings;
  json Error;  // response._error
  std::vector<std::optional<double>> At;  // xsLookedUp .. xsBodyEnd
  std::optional<double> SecuredAt;
  std::optional<double> EndedAt;
};

class HarTimingTest : public ::testing::TestWithParam<TTimingRow> {};

TEST_P(HarTimingTest, TimingsBecomeStageTimes) {
  json E = BaseEntry();
  E["timings"] = GetParam().Timings;
  E["response"]["_error"] = GetParam().Error;
  E["connection"] = "12";
  const THarLog Log = THarReader::ReadText(Document({E}));
  ASSERT_EQ(Log.Entries.size(), 1u);
  const TExchangePass& P = Log.Entries[0].Pass;
  for (int S = 0; S < ExchangeStageCount; ++S) EXPECT_EQ(P.At[S], GetParam().At[S]) << S;
  // Sent without a connect: the connection was reused.
  EXPECT_EQ(P.ConnectionReused, !GetParam().At[xsConnected] && GetParam().At[xsRequestSent]);
  EXPECT_EQ(P.Connection, 12);
  EXPECT_EQ(P.SecuredAt, GetParam().SecuredAt);
  EXPECT_EQ(P.EndedAt, GetParam().EndedAt);
}

const json NoError = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Rows, HarTimingTest,
    ::testing::Values(
        // ssl is part of connect.
        TTimingRow{{{"dns", 1}, {"connect", 5}, {"ssl", 3}, {"send", 1}, {"wait", 2}, {"receive", 4}},
                   NoError, {1, 3, 7, 9, 9, 13}, 6, 13},
        // A reused connection stood already; no look-up.
        TTimingRow{{{"dns", -1}, {"connect", -1}, {"send", 1}, {"wait", 2}, {"receive", 4}},
                   NoError, {std::nullopt, std::nullopt, 1, 3, 3, 7}, std::nullopt, 7},
        // The stage an error ended was not reached: it lasts up to the pass's end.
        TTimingRow{{{"dns", 1}, {"connect", 2}, {"send", 1}, {"wait", 6}, {"receive", -1}},
                   "Read time-out", {1, 3, 4, std::nullopt, std::nullopt, std::nullopt},
                   std::nullopt, 10},
        TTimingRow{json::object(), NoError,
                   {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                   std::nullopt, std::nullopt}));

}  // namespace

// An HTTP/2 pass written and read back: the request line the record keeps, its stream and
// its frames, so that the file is written again the same; without _frames nothing is missed.
TEST(HarReaderTest, Http2PassReadsBackAsWritten) {
  TExchangePass P;
  P.Method = "GET";
  P.URL = "http://h2c.test:8080/";
  P.RequestHeader = "GET / HTTP/2\r\nHost: h2c.test:8080\r\nUser-Agent: u\r\n\r\n";
  P.ReplyHeader = "HTTP/2 200 \r\ncontent-length: 2\r\n\r\n";
  P.ReplyNumber = 200;
  P.Body = "hi";
  P.BodyBytes = 2;
  P.At = {std::nullopt, 1, 2, 3, 3, 4};
  P.Stream = 1;
  P.Frames = {{true, THttp2Frame::ftHeaders, 0x25, 1, 30, ":method: GET\r\n", 0, 0, ""},
              {false, THttp2Frame::ftRstStream, 0, 1, 4, "", 8, 0, ""},
              {false, THttp2Frame::ftWindowUpdate, 0, 0, 4, "", 0, 0, "65535"},
              {false, 0xEE, 0x3, 5, 0, "", 0, 0, ""}};
  P.FrameTimes = {2, 3.5, 3.75, 4};
  P.FramesLeftOut = 1;
  const std::string Written = THarWriter::Text(THarWriter::Document({P}));
  const THarLog Log = THarReader::ReadText(Written);
  ASSERT_EQ(Log.Entries.size(), 1u);
  const THarEntry& E = Log.Entries[0];
  EXPECT_TRUE(E.Http2);
  EXPECT_EQ(E.Pass.RequestVersion(), 20);
  EXPECT_EQ(E.Pass.RequestHeader, P.RequestHeader);
  EXPECT_EQ(E.Pass.ReplyHeader, P.ReplyHeader);
  EXPECT_EQ(E.Pass.Stream, 1);
  ASSERT_EQ(E.Pass.Frames.size(), 4u);
  EXPECT_EQ(E.Pass.Frames[0].Flags, 0x25);
  EXPECT_EQ(E.Pass.Frames[1].ErrorCode, 8u);
  EXPECT_EQ(E.Pass.Frames[3].Type, 0xEE);
  EXPECT_EQ(THarWriter::Text(THarWriter::Document({E.Pass})), Written);
  json Browser = json::parse(Written)["log"]["entries"][0];
  Browser.erase("_frames");
  Browser.erase("_stream");
  const THarLog Plain = THarReader::ReadText(Document({Browser}));
  ASSERT_EQ(Plain.Entries.size(), 1u);
  EXPECT_EQ(Plain.Entries[0].Refused, "");
  EXPECT_EQ(Plain.Entries[0].Pass.RequestHeader, P.RequestHeader);
  EXPECT_TRUE(Plain.Entries[0].Pass.Frames.empty());
}

// Orrery's _tls and _tunnel read back: the session and the chain as written, whether it was let
// through, and a failed check's words, which stay the same however often the file is
// written again.
TEST(HarReaderTest, TlsAndTunnelReadBackAsWritten) {
  TTlsCertificate Leaf{"CN=a.test", "CN=Root", "a.test", "Root", {"a.test", "*.a.test"},
                       {"127.0.0.1"}, -631152000, 253402300799, "0A1B", "AB:CD", "EC", 256,
                       "ecdsa-with-SHA256", true, false};
  // Let through; waived over a failed check; failed, with the reason in words.
  std::vector<TExchangePass> Passes(3);
  for (std::size_t I = 0; I < 3; ++I) {
    TExchangePass& P = Passes[I];
    P.Method = "GET";
    P.URL = "https://a.test/";
    P.RequestHeader = "GET / HTTP/1.0\r\nHost: a.test\r\n\r\n";
    P.StartedAt = std::chrono::system_clock::from_time_t(1796029200);
    P.At = {std::nullopt, 1, 5};
    P.Tls = TTlsFacts{"TLSv1.3", "TLS_AES_256_GCM_SHA384", "X25519", "", "a.test", I == 0,
                      I == 1, {Leaf}, {}, {}};
    P.Tls->Outcome.HandshakeDone = true;
    P.Tls->Outcome.VerifyResult = I == 0 ? 0 : 10;
  }
  Passes[0].TunnelRequest = "CONNECT a.test:443 HTTP/1.0\r\n\r\n";
  Passes[0].TunnelReply = "HTTP/1.0 200 Connection established\r\n\r\n";
  Passes[0].TunnelStatus = 200;
  Passes[2].At = {};
  Passes[2].Tls->Reason.Problem = TTlsProblem::tpExpired;
  Passes[2].Tls->Reason.When = 1800000000;

  const std::string Written = THarWriter::Text(THarWriter::Document(Passes));
  const THarLog Log = THarReader::ReadText(Written);
  ASSERT_EQ(Log.Entries.size(), 3u);
  std::vector<TExchangePass> Read;
  for (const THarEntry& E : Log.Entries) {
    ASSERT_TRUE(E.Pass.Tls) << E.Index;
    EXPECT_EQ(E.Pass.Tls->Chain, std::vector<TTlsCertificate>{Leaf}) << E.Index;
    EXPECT_EQ(TExchangePass::TlsLetThrough(*E.Pass.Tls), E.Index < 2) << E.Index;
    Read.push_back(E.Pass);
  }
  EXPECT_EQ(THarWriter::Text(THarWriter::Document(Read)), Written);
  json Bad = BaseEntry();
  Bad["_tls"] = {{"resumed", "yes"}};
  EXPECT_EQ(THarReader::ReadText(Document({Bad})).Entries.at(0).Refused,
            "log.entries[0]._tls.resumed: true or false expected");
}
