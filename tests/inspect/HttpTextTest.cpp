// The text readers of the inspect layer by tables: header fields, URLs, query strings,
// UTF-8 text and Base64.
#include "inspect/HttpText.h"

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
  };
  for (const Row& R : Rows)
    EXPECT_EQ(Pairs(HeaderFields(R.Block, R.StartLine)), R.Expected) << R.Block;

  const auto F = HeaderFields("content-length: 5\r\nContent-Length: 7\r\n", false);
  EXPECT_EQ(FieldValue(F, "CONTENT-LENGTH"), "7");
  EXPECT_EQ(FieldValue(F, "Content-Type"), std::nullopt);
}

TEST(HttpText, ContentLengthValues) {
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> Rows = {
      {"0", 0},
      {" 42 ", 42},
      {"123456789012345678", 123456789012345678},
      {"1234567890123456789", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"12a", std::nullopt},
      {"1 2", std::nullopt}};
  for (const auto& [Text, Value] : Rows) EXPECT_EQ(ContentLengthValue(Text), Value) << Text;
}

TEST(HttpText, PartsOfAbsoluteURLs) {
  struct Row {
    std::string URL, Origin, Host;
    int Port;
    std::string Target;
  };
  const std::vector<Row> Rows = {
      {"http://h/p?q", "http://h", "h", 80, "/p?q"},
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080", "127.0.0.1", 8080, "/"},
      {"http://h:80", "http://h:80", "h", 80, "/"},
      {"HTTP://H:x/", "HTTP://H:x", "H", -1, "/"},
      {"http://h:99999/", "http://h:99999", "h", -1, "/"},
  };
  for (const Row& R : Rows) {
    const TUrlParts P = SplitAbsoluteURL(R.URL);
    EXPECT_EQ(P.Origin, R.Origin) << R.URL;
    EXPECT_EQ(P.Host, R.Host) << R.URL;
    EXPECT_EQ(P.Port, R.Port) << R.URL;
    EXPECT_EQ(P.Target, R.Target) << R.URL;
  }
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

TEST(HttpText, Base64OfEveryLengthModuloThree) {
  const std::vector<std::pair<std::string, std::string>> Rows = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0\xFF\xFE", 3), "AP/+"}};
  for (const auto& [In, Out] : Rows) EXPECT_EQ(Base64(In), Out) << In;
}

}  // namespace
