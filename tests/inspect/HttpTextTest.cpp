// The text readers of the inspect layer by tables: header fields, the final reply and its
// announced length, query strings, UTF-8 text and Base64.
#include "http/TReplyHead.h"
#include "inspect/HttpText.h"

#include "http/Base64.h"
#include "inspect/TExchangePass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields Pairs(const std::vector<THeaderField>& F) {
  Fields Out;
  for (const auto& [Name, Value] : F) Out.emplace_back(Name, Value);
  return Out;
}

TEST(HttpText, HeaderFieldsOfABlock) {
  struct Row {
    std::string Block;
    bool StartLine;
    Fields Expected;
  };
  const std::vector<Row> Rows = {
      {"HTTP/1.0 200 OK\r\nA: 1\r\nB:2\r\n\r\nC: body", true, {{"A", "1"}, {"B", "2"}}},
      {"HTTP/1.0 200 OK\nA:  spaced \t\nB: x: y\n\n", true, {{"A", "spaced"}, {"B", "x: y"}}},
      {"Host: h\r\nno colon\r\n:empty name\r\n",
       false,
       {{"Host", "h"}, {"no colon", ""}, {"", "empty name"}}},
      {"HTTP/1.0 200 OK\r\nCut: before the end", true, {{"Cut", "before the end"}}},
      {"", true, {}},
      {"\r\nA: after the end\r\n", false, {}},
      {"HTTP/1.0 302 F\r\n none\r\nLocation: /a\r\n b\r\n\tc\r\n", true, {{"Location", "/a b c"}}},
  };
  for (const Row& R : Rows)
    EXPECT_EQ(Pairs(HeaderFields(R.Block, R.StartLine)), R.Expected) << R.Block;

  const auto F = HeaderFields("content-length: 5\r\nContent-Length: 7\r\n", false);
  EXPECT_EQ(FieldValue(F, "CONTENT-LENGTH"), "7");
  EXPECT_EQ(FieldValue(F, "Content-Type"), std::nullopt);
}

// Content-Length as the component reads it (a list of equal values is one), and only the
// final reply's: an interim reply's fields are gone when the final one starts.
TEST(HttpText, AnnouncedLengthIsTheFinalReplys) {
  const std::string Continue = "HTTP/1.1 100 Continue\r\n";
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> Rows = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", 0},
      {"HTTP/1.0 200 OK\r\nContent-Length:  42 \r\n\r\n", 42},
      {"HTTP/1.0 200 OK\r\nContent-Length: 123456789012345678\r\n\r\n", 123456789012345678},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1234567890123456789\r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\nContent-Length: \r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\nContent-Length: 12a\r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1 2\r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5, 5\r\n\r\n", 5},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5,5 , 5\r\n\r\n", 5},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5, 6\r\n\r\n", std::nullopt},
      {"HTTP/1.0 200 OK\r\ncontent-length: 3\r\nContent-Length: x\r\n\r\n", 3},
      {Continue + "\r\nHTTP/1.1 302 Found\r\nContent-Length: 7\r\n\r\n", 7},
      {Continue + "Content-Length: 3\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", std::nullopt},
      {Continue + "\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\n"
                  "Content-Length: 9\r\n\r\n",
       9},
      {"HTTP/1.0 200 OK\r\n\r\nContent-Length: 4\r\n", std::nullopt},
  };
  for (const auto& [Head, Length] : Rows) {
    TExchangePass P;
    P.ReplyHeader = Head;
    EXPECT_EQ(P.AnnouncedLength(), Length) << Head;
  }
}

// A body is short when it ended before the final reply's length, as the component frames
// it: not for a chunked body beside a Content-Length, a HEAD, a 204 or a 304.
TEST(HttpText, BodyShortFollowsTheFraming) {
  const struct {
    const char* Method;
    std::string Head;
    bool Short;
  } Rows[] = {
      {"GET", "HTTP/1.0 200 OK\r\nContent-Length: 15\r\n\r\n", true},
      {"GET", "HTTP/1.0 200 OK\r\nContent-Length: 15\r\nTransfer-Encoding: chunked\r\n\r\n", false},
      {"HEAD", "HTTP/1.0 200 OK\r\nContent-Length: 15\r\n\r\n", false},
      {"GET", "HTTP/1.0 304 Not Modified\r\nContent-Length: 15\r\n\r\n", false},
  };
  for (const auto& R : Rows) {
    TExchangePass P;
    P.Method = R.Method;
    P.ReplyHeader = R.Head;
    P.ReplyNumber = TReplyHead::StatusCode(R.Head);
    P.BodyBytes = 5;
    P.At[xsBodyEnd] = 1.0;
    EXPECT_EQ(P.BodyShort(), R.Short) << R.Method << " " << R.Head;
  }
}

TEST(HttpText, FinalReplySkipsInterimBlocks) {
  const std::string Final = "HTTP/1.1 302 Found\r\nLocation: /next\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> Rows = {
      {"", ""},
      {Final, Final},
      {"HTTP/1.1 100 Continue\r\n\r\n" + Final, Final},
      {"HTTP/1.1 100 Continue\nX: 1\n\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n" + Final,
       Final},
      // 101 is no interim reply: the exchange ends there.
      {"HTTP/1.1 101 Switching\r\n\r\n" + Final, "HTTP/1.1 101 Switching\r\n\r\n" + Final},
      // The connection ended after the interim reply or inside it: that is all there is.
      {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 100 Continue\r\n\r\n"},
      {"HTTP/1.1 100 Continue\r\nX: 1", "HTTP/1.1 100 Continue\r\nX: 1"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200", "HTTP/1.1 200"},
  };
  for (const auto& [Head, Expected] : Rows) EXPECT_EQ(FinalReply(Head), Expected) << Head;
}

TEST(HttpText, QueryFieldsStayAsWritten) {
  const std::vector<std::pair<std::string, Fields>> Rows = {
      {"http://h/", {}},
      {"http://h/?", {}},
      {"http://h/?a=1&b=%20+&c&=v&&", {{"a", "1"}, {"b", "%20+"}, {"c", ""}, {"", "v"}}},
      {"http://h/p?x=1#y=2", {{"x", "1"}}},
      {"http://h/p#frag?x=1", {}},
  };
  for (const auto& [URL, Expected] : Rows) EXPECT_EQ(Pairs(QueryFields(URL)), Expected) << URL;
}

TEST(HttpText, TextIsUtf8WithoutNul) {
  struct Row {
    std::string Bytes;
    bool Cut;
    std::optional<std::size_t> Length;
  };
  const std::vector<Row> Rows = {
      {"", false, 0},
      {"plain\r\n\t", false, 8},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", false, 14},
      {std::string("a\0b", 3), false, std::nullopt},
      {"caf\xE9", false, std::nullopt},           // Windows-1252
      {"\xC0\xAF", false, std::nullopt},          // overlong
      {"\xED\xA0\x80", false, std::nullopt},      // a surrogate
      {"\xF4\x90\x80\x80", false, std::nullopt},  // above U+10FFFF
      {"\x80", false, std::nullopt},              // a continuation byte first
      {"ab\xE2\x82", false, std::nullopt},        // cut, but the text is whole
      {"ab\xE2\x82", true, 2},                    // cut where the kept bytes end
      {"ab\xE2\x28", true, std::nullopt},         // broken, not cut
      {"ab\xC3", true, 2},
  };
  for (const Row& R : Rows) EXPECT_EQ(TextLength(R.Bytes, R.Cut), R.Length) << R.Bytes;
}

// The bytes 0 to 90.
std::string Bytes91() {
  std::string B;
  for (int I = 0; I < 91; ++I) B += static_cast<char>(I);
  return B;
}

TEST(HttpText, Base64OfEveryLengthModuloThree) {
  const std::vector<std::pair<std::string, std::string>> Rows = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0\xFF\xFE", 3), "AP/+"},
      // Past one line of the MIME encoder (45 bytes): still one line.
      {std::string(46, 'a'), "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYQ=="},
      {Bytes91(),
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB"
       "QkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWg=="}};
  for (const auto& [In, Out] : Rows) EXPECT_EQ(Base64(In), Out) << In;
}

}  // namespace
