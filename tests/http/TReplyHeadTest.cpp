// The reading of a reply's header block: every field form the component looks at, interim
// replies, the refusals, the size bound, the status code and the one classification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/HttpErrors.h"
#include "http/TReplyHead.h"

namespace {

struct HeadCase {
  const char* Name;
  std::string Block;  // fed line by line; the connection ends after it
  int Status;
  std::string Location;  // "-" for none
  std::string Cookie;
  std::int64_t Length;  // -1 for none
  bool Chunked;
  std::string Error = "";  // from Check
  std::size_t Taken = 0;   // bytes the block ends after; 0: all of them
};

const HeadCase HeadCases[] = {
    {"Plain", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n", 200, "-", "", -1, false},
    {"NoBlankAfterColon", "HTTP/1.0 302 F\r\nLocation:/ok\r\n\r\n", 302, "/ok", "", -1, false},
    {"TabAfterColon", "HTTP/1.0 302 F\r\nLocation:\t/ok\r\n\r\n", 302, "/ok", "", -1, false},
    {"BlanksAround", "HTTP/1.0 302 F\r\nLocation:  /ok \t\r\n\r\n", 302, "/ok", "", -1, false},
    {"AnyCase", "HTTP/1.0 302 F\r\nlOcAtIoN: /ok\r\nSET-COOKIE: a=1\r\n\r\n", 302, "/ok", "a=1", -1,
     false},
    {"LfOnly", "HTTP/1.0 302 F\nLocation: /ok\nContent-Length: 3\n\n", 302, "/ok", "", 3, false},
    {"BlankBeforeColonIsAnotherName", "HTTP/1.0 302 F\r\nLocation : /no\r\n\r\n", 302, "-", "", -1,
     false},
    {"LongerNameIsAnotherName", "HTTP/1.0 302 F\r\nLocationX: /no\r\nX-Location: /no\r\n\r\n", 302,
     "-", "", -1, false},
    // An empty Location names no target: the reply has none to follow.
    {"EmptyLocation", "HTTP/1.0 302 F\r\nLocation: /a\r\nLocation:\r\n\r\n", 302, "-", "", -1,
     false},
    {"BlankLocation", "HTTP/1.0 302 F\r\nLocation: \t \r\n\r\n", 302, "-", "", -1, false},
    {"LastSetCookie", "HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\nset-cookie:b=2 \r\n\r\n", 200, "-",
     "b=2", -1, false},
    // Content-Length: all digits after the blanks, or no length.
    {"LengthNoBlank", "HTTP/1.0 200 OK\r\nContent-Length:4\r\n\r\n", 200, "-", "", 4, false},
    {"LengthBlanks", "HTTP/1.0 200 OK\r\nContent-Length: \t 4 \t\r\n\r\n", 200, "-", "", 4, false},
    {"LengthZero", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", 200, "-", "", 0, false},
    {"LengthTrailingLetters", "HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n", 200, "-", "", -1,
     false},
    {"LengthNegative", "HTTP/1.0 200 OK\r\nContent-Length: -3\r\n\r\n", 200, "-", "", -1, false},
    {"LengthPlus", "HTTP/1.0 200 OK\r\nContent-Length: +3\r\n\r\n", 200, "-", "", -1, false},
    {"LengthInnerBlank", "HTTP/1.0 200 OK\r\nContent-Length: 1 2\r\n\r\n", 200, "-", "", -1, false},
    {"LengthEmpty", "HTTP/1.0 200 OK\r\nContent-Length:\r\n\r\n", 200, "-", "", -1, false},
    {"Length18Digits", "HTTP/1.0 200 OK\r\nContent-Length: 999999999999999999\r\n\r\n", 200, "-",
     "", 999999999999999999, false},
    {"Length19Digits", "HTTP/1.0 200 OK\r\nContent-Length: 1234567890123456789\r\n\r\n", 200, "-",
     "", -1, false},
    {"LengthListOfEqual", "HTTP/1.0 200 OK\r\nContent-Length: 5, 5\r\n\r\n", 200, "-", "", 5,
     false},
    {"LengthTwiceEqual", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\n", 200,
     "-", "", 5, false},
    {"LengthUnusableThenUsable",
     "HTTP/1.0 200 OK\r\nContent-Length: x\r\nContent-Length: 5\r\n\r\n", 200, "-", "", 5, false},
    {"LengthTwiceDiffering", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
     200, "-", "", 6, false, "Conflicting Content-Length"},
    {"LengthListDiffering", "HTTP/1.0 200 OK\r\nContent-Length: 5,6\r\n\r\n", 200, "-", "", -1,
     false, "Conflicting Content-Length"},
    {"Chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked \r\n\r\n", 200, "-", "", -1,
     true},
    {"ChunkedNotLast", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 200, "-", "",
     -1, false},
    // Interim replies: skipped, their fields forgotten.
    {"Continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", 200,
     "-", "", 2, false},
    {"SeveralInterim",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
     "HTTP/1.1 103 Early Hints\r\nLink: </s>\r\nLocation: /early\r\nSet-Cookie: e=1\r\n"
     "Content-Length: 9\r\n\r\nHTTP/1.1 302 Found\r\n\r\n",
     302, "-", "", -1, false},
    // The end where the final status line was due: no status, no fields of the interim reply.
    {"InterimThenEnd", "HTTP/1.1 100 Continue\r\n\r\n", 0, "-", "", -1, false},
    {"EarlyHintsThenEnd", "HTTP/1.1 103 H\r\nLocation: /x\r\nContent-Length: 1\r\n\r\n", 0, "-", "",
     -1, false},
    {"SwitchingProtocols", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", 101, "-", "",
     -1, false, "Protocol switch not supported"},
    {"SwitchAfterContinue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 101 Switching\r\n\r\n", 101, "-",
     "", -1, false, "Protocol switch not supported"},
    {"InterimLengthDoesNotConflict",
     "HTTP/1.1 103 H\r\nContent-Length: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", 200,
     "-", "", 2, false},
    // The block as the connection ends it.
    {"Nothing", "", 0, "-", "", -1, false},
    {"EndsInFields", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n", 200, "-", "", 3, false},
    {"NoStatusCode", "HTTP/1.0 abc\r\nLocation: /x\r\n\r\n", 0, "/x", "", -1, false},
    // No HTTP status line: no reply, and nothing after that line is read.
    {"HelloIsNoReply", "hello 200 world\r\nLocation: /x\r\n\r\n", 0, "-", "", -1, false, "", 17},
    {"NotHttpAfterContinue", "HTTP/1.1 100 Continue\r\n\r\nhello 200 x\r\nSet-Cookie: a=1\r\n\r\n",
     0, "-", "", -1, false, "", 38},
    // A folded line continues the field before it, joined with one space.
    {"FoldedTwiceWithTabs", "HTTP/1.0 302 F\r\nLocation: /a \r\n\t b \r\n c\r\n\r\n", 302, "/a b c",
     "", -1, false},
    {"FoldedLengthIsOneValue", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n 2\r\n\r\n", 200, "-", "",
     -1, false},
};

void PrintTo(const HeadCase& C, std::ostream* Os) { *Os << C.Name; }

class HeadBlock : public ::testing::TestWithParam<HeadCase> {};

TEST_P(HeadBlock, GivesTheFinalReplysFields) {
  const HeadCase& C = GetParam();
  TReplyHead Head;
  std::size_t At = 0;
  bool Done = false;
  while (!Done) {
    const std::size_t End = C.Block.find('\n', At);
    const std::string Line = End == std::string::npos ? "" : C.Block.substr(At, End + 1 - At);
    At = End + 1;
    Done = Head.Take(Line);
    if (!Done) {
      ASSERT_NE(End, std::string::npos) << "not over at the end of the connection";
    }
  }
  EXPECT_EQ(Head.Status(), C.Status);
  EXPECT_EQ(Head.HasLocation() ? Head.Location() : "-", C.Location);
  EXPECT_EQ(Head.CookieIn(), C.Cookie);
  EXPECT_EQ(Head.HasLength() ? Head.Length() : -1, C.Length);
  EXPECT_EQ(Head.Chunked(), C.Chunked);
  EXPECT_EQ(Head.Size(), C.Taken == 0 ? C.Block.size() : C.Taken);
  EXPECT_EQ(Head.NotHttp(), C.Taken != 0);
  std::string Error;
  try {
    Head.Check();
  } catch (const EHttpProtocolError& E) {
    Error = E.what();
  }
  EXPECT_EQ(Error, C.Error);
}

INSTANTIATE_TEST_SUITE_P(Blocks, HeadBlock, ::testing::ValuesIn(HeadCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// "HTTP/2 200" is the status line of a reply over HTTP/2 only: over HTTP/1.x no such version
// exists, and the stream is no HTTP/1.x reply.
TEST(ReplyHead, AnHttp2StatusLineIsAReplysOnlyOverHttp2) {
  for (const bool Over : {false, true}) {
    TReplyHead Head;
    if (Over) Head.OverHttp2();
    EXPECT_EQ(Head.Take("HTTP/2 200 \r\n"), !Over);
    EXPECT_EQ(Head.NotHttp(), !Over);
    EXPECT_EQ(Head.Status(), Over ? 200 : 0);
    EXPECT_EQ(Head.Version(), Over ? 20 : 0);
  }
}

// The chunked coding as the request loop learns it: the final coding of the final reply's
// last Transfer-Encoding line.
TEST(HeadChunked, AnnouncedByTheFinalCodingOfTheFinalReply) {
  const struct {
    const char* Header;
    bool Chunked;
  } Rows[] = {
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding:CHUNKED\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: \t chunked \t\r\n\r\n", true},
      {"HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunkedx\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nX-Transfer-Encoding: chunked\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nContent-Type: chunked\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\n\r\n", false},
      {"", false},
      // An interim reply's lines are not the final reply's.
      {"HTTP/1.1 103 Hints\r\nTransfer-Encoding: chunked\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", false},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true},
  };
  for (const auto& R : Rows) {
    TReplyHead Head;
    std::string_view Block = R.Header;
    for (bool Done = false; !Done;) {
      const std::size_t End = Block.find('\n');
      Done =
          Head.Take(End == std::string_view::npos ? std::string_view() : Block.substr(0, End + 1));
      Block.remove_prefix(End == std::string_view::npos ? Block.size() : End + 1);
    }
    EXPECT_EQ(Head.Chunked(), R.Chunked) << R.Header;
  }
}

// The block as a whole, interim replies included, stays within 1 MiB; the line that would
// pass it is refused before it is taken.
TEST(HeadBound, CountsEveryLineOfTheBlock) {
  const std::string Field = "X: " + std::string(65536 - 5, 'x') + "\r\n";
  for (const bool Interim : {false, true}) {
    TReplyHead Head;
    EXPECT_FALSE(Head.Take(Interim ? "HTTP/1.1 100 Continue\r\n" : "HTTP/1.1 200 OK\r\n"));
    if (Interim) {
      EXPECT_FALSE(Head.Take("\r\n"));
      EXPECT_FALSE(Head.Take("HTTP/1.1 200 OK\r\n"));
    }
    std::size_t Taken = 0;
    try {
      for (;; ++Taken) EXPECT_FALSE(Head.Take(Field));
    } catch (const EHttpHeaderTooLarge& E) {
      EXPECT_STREQ(E.what(), "Reply header too large");
    }
    EXPECT_LE(Head.Size(), TReplyHead::MaxSize);
    EXPECT_GT(Head.Size() + Field.size(), TReplyHead::MaxSize);
    EXPECT_EQ(Taken, 15u);
  }
  TReplyHead Exact;
  EXPECT_FALSE(Exact.Take("HTTP/1.0 " + std::string(TReplyHead::MaxSize - 11, 'H') + "\n"));
  EXPECT_TRUE(Exact.Take("\n"));
  EXPECT_EQ(Exact.Size(), TReplyHead::MaxSize);
}

TEST(StatusLine, GivesTheCode) {
  const struct {
    std::string Line;
    int Code;
  } Cases[] = {
      {"HTTP/1.0 200 OK\r\n", 200},  {"HTTP/1.0 200\r\n", 200}, {"HTTP/1.0 200", 200},
      {"HTTP/1.1 32767 X\n", 32767}, {"HTTP/1.0 32768 X\n", 0}, {"HTTP/1.0 100000\n", 0},
      {"HTTP/1.0 20x OK\n", 0},      {"HTTP/1.0  200 OK\n", 0}, {"HTTP/1.0\r\n", 0},
      {"HTTP/1.0 -1 X\n", 0},        {"ICY 200 OK\r\n", 200},   {"", 0},
  };
  for (const auto& C : Cases) EXPECT_EQ(TReplyHead::StatusCode(C.Line), C.Code) << C.Line;
}

TEST(StatusClass, OnlyARedirectionWithItsOwnLocationIsFollowed) {
  const struct {
    int Status;
    bool HasLocation;
    TReplyClass Class;
  } Cases[] = {
      {0, true, rcFailure},       {-1, false, rcFailure},     {100, false, rcSuccess},
      {200, false, rcSuccess},    {204, true, rcSuccess},     {298, false, rcSuccess},
      {299, true, rcFinal},       {300, true, rcRedirection}, {300, false, rcFinal},
      {301, true, rcRedirection}, {301, false, rcFinal},      {302, true, rcRedirection},
      {302, false, rcFinal},      {303, true, rcRedirection}, {303, false, rcFinal},
      {304, true, rcFinal},       {305, true, rcFinal},       {306, true, rcFinal},
      {307, true, rcRedirection}, {308, true, rcRedirection}, {308, false, rcFinal},
      {399, true, rcFinal},       {400, true, rcFailure},     {401, false, rcFailure},
      {599, false, rcFailure},    {32767, false, rcFailure},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(TReplyHead::Classify(C.Status, C.HasLocation), C.Class)
        << C.Status << (C.HasLocation ? " with Location" : "");
}

}  // namespace
