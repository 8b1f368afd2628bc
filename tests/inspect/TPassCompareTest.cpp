// The comparison of two passes: JSON by path, text by line (checked against the shortest edit
// script and bounded), header fields and their volatile kind, each kind of body, the timings.
#include "inspect/TPassCompare.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

std::string Joined(const TJsonDiffResult& R) {
  std::string Out;
  const char* Marks[] = {"+", "-", "~"};
  for (const TJsonChange& C : R.Changes) {
    Out += (Out.empty() ? "" : "|") + std::string(Marks[static_cast<int>(C.Kind)]) + C.Path + ": ";
    Out += C.Kind == TChangeKind::ckChanged ? C.Before + " → " + C.After
                                            : C.Before + C.After;
  }
  return Out;
}

struct TJsonRow {
  const char* A;
  const char* B;
  const char* Changes;
};

class JsonDiffTest : public ::testing::TestWithParam<TJsonRow> {};

TEST_P(JsonDiffTest, ChangesByPath) {
  const auto R = TJsonDiff::Diff(GetParam().A, GetParam().B);
  ASSERT_TRUE(R);
  EXPECT_EQ(Joined(*R), GetParam().Changes);
  EXPECT_EQ(R->Count, R->Changes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JsonDiffTest,
    ::testing::Values(
        TJsonRow{R"({"a":1,"b":[1,2]})", " { \"b\" : [ 1, 2 ] ,\n \"a\" : 1 } ", ""},
        TJsonRow{R"({"items":[{"price":10},{"price":11}]})", R"({"items":[{"price":10},{"price":12}]})",
                 "~$.items[1].price: 11 → 12"},
        TJsonRow{R"({"a":1,"b":2})", R"({"a":1,"c":3})", "+$.c: 3|-$.b: 2"},
        TJsonRow{"[1,2,3]", "[1,3]", "~$[1]: 2 → 3|-$[2]: 3"},
        TJsonRow{"[1]", "[1,{\"x\":[]}]", "+$[1]: {\"x\":[]}"},
        TJsonRow{"[1, 1.0, 1e2, -0, 0.5]", "[1.0, 1, 100, 0, 5e-1]", ""},
        TJsonRow{"[12345678901234567890]", "[12345678901234567891]",
                 "~$[0]: 12345678901234567890 → 12345678901234567891"},
        TJsonRow{R"({"k\u00e9": "a\/b", "s": "\ud83d\ude00"})", "{\"ké\": \"a/b\", \"s\": \"😀\"}", ""},
        TJsonRow{R"({"a":{"x":1}})", R"({"a":[1]})", "~$.a: {\"x\":1} → [1]"},
        TJsonRow{R"({"a b":1})", R"({"a b":2})", "~$[\"a b\"]: 1 → 2"},
        TJsonRow{R"({"b":{"x":1},"a":2})", R"({"a":2,"b":{"x":2}})", "~$.b.x: 1 → 2"},
        TJsonRow{R"({"a":1,"b":2,"c":3})", R"({"a":1,"c":3,"b":4})", "~$.b: 2 → 4"},
        TJsonRow{R"({"a":1})", R"({"a":1,"z":null})", "+$.z: null"},
        TJsonRow{R"("x")", "true", "~$: \"x\" → true"}));

TEST(JsonDiffLimits, BrokenOrTooDeepIsNoJsonAndChangesAreCounted) {
  for (const char* Broken : {"{\"a\":1", "[1,]", "01", "[\"a\nb\"]", "{\"a\" 1}", "[1] 2", "nul"})
    EXPECT_FALSE(TJsonDiff::Valid(Broken, 256)) << Broken;
  const std::string Deep = std::string(300, '[') + std::string(300, ']');
  const std::string Fits = std::string(256, '[') + std::string(256, ']');
  EXPECT_FALSE(TJsonDiff::Diff(Deep, Deep));
  EXPECT_TRUE(TJsonDiff::Diff(Fits, Fits));
  TJsonDiff::TLimits Two;
  Two.MaxChanges = 2;
  Two.ValueShown = 3;
  const auto R = TJsonDiff::Diff("[1,2,3,4,\"abcdef\"]", "[5,6,7,8,\"x\"]", Two);
  ASSERT_TRUE(R);
  EXPECT_EQ(R->Count, 5u);
  ASSERT_EQ(R->Changes.size(), 2u);
  EXPECT_EQ(TJsonDiff::Diff("[\"abcdef\"]", "[1]", Two)->Changes[0].Before, "\"ab…");
}

// --- Lines ----------------------------------------------------------------------------------

std::string Script(const TLineDiffResult& R) {
  std::string Out;
  for (const TLineEdit& E : R.Edits)
    Out += (Out.empty() ? "" : "|") + std::string(E.Inserted ? "+" : "-") +
           std::to_string(E.Inserted ? E.LineB : E.LineA) + ":" + E.Text + (E.LineEnd ? "" : "$");
  return Out;
}

struct TLineRow {
  const char* A;
  const char* B;
  const char* Script;
};

class LineDiffTest : public ::testing::TestWithParam<TLineRow> {};

TEST_P(LineDiffTest, EditsInOrder) {
  const TLineDiffResult R = TLineDiff::Diff(GetParam().A, GetParam().B);
  EXPECT_TRUE(R.Complete);
  EXPECT_EQ(Script(R), GetParam().Script);
  EXPECT_EQ(R.Count, R.Edits.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineDiffTest,
    ::testing::Values(TLineRow{"a\nb\nc\n", "a\nb\nc\n", ""},
                      TLineRow{"a\nb\nc\n", "a\nx\nc\n", "-1:b|+1:x"},
                      TLineRow{"a\nb\n", "a\nb\nc\n", "+2:c"},
                      TLineRow{"a\nb\n", "a\nb", "-1:b|+1:b$"},
                      TLineRow{"", "a\n", "+0:a"},
                      TLineRow{"x\na\nb\n", "a\nb\ny\n", "-0:x|+2:y"}));

// Random small texts: the edits turn A into B, and there are as few as the longest common
// subsequence allows.
TEST(LineDiffScripts, AreShortestAndTurnAIntoB) {
  std::mt19937 Random(27);
  for (int Case = 0; Case < 300; ++Case) {
    std::vector<std::string> A, B;
    for (auto* L : {&A, &B})
      for (int I = static_cast<int>(Random() % 12); I > 0; --I)
        L->push_back(std::string(1, static_cast<char>('a' + Random() % 3)));
    std::string TA, TB;
    for (const auto& L : A) TA += L + "\n";
    for (const auto& L : B) TB += L + "\n";
    const TLineDiffResult R = TLineDiff::Diff(TA, TB);
    std::vector<std::vector<int>> Lcs(A.size() + 1, std::vector<int>(B.size() + 1, 0));
    for (std::size_t I = A.size(); I-- > 0;)
      for (std::size_t J = B.size(); J-- > 0;)
        Lcs[I][J] = A[I] == B[J] ? Lcs[I + 1][J + 1] + 1 : std::max(Lcs[I + 1][J], Lcs[I][J + 1]);
    EXPECT_EQ(R.Count, A.size() + B.size() - 2 * static_cast<std::size_t>(Lcs[0][0])) << TA << "/" << TB;
    std::vector<std::string> Built;
    std::size_t Next = 0;
    for (const TLineEdit& E : R.Edits) {
      while (Next < E.LineA) Built.push_back(A[Next++]);
      if (E.Inserted) Built.push_back(E.Text);
      else ++Next;
    }
    while (Next < A.size()) Built.push_back(A[Next++]);
    EXPECT_EQ(Built, B) << TA << "/" << TB;
  }
}

TEST(LineDiffScripts, VeryDifferentTextsEndWithTheFirstEditsAndACount) {
  std::string A, B;
  for (int I = 0; I < 200000; ++I) {
    A += "a" + std::to_string(I) + "\n";
    B += "b" + std::to_string(I) + "\n";
  }
  TLineDiff::TLimits Limits;
  Limits.MaxEdits = 100;
  const TLineDiffResult R = TLineDiff::Diff("same\n" + A, "same\n" + B, Limits);
  EXPECT_FALSE(R.Complete);
  EXPECT_LE(R.Edits.size(), 100u);
  ASSERT_FALSE(R.Edits.empty());
  EXPECT_EQ(R.Edits[0].LineA, 1u);
  EXPECT_EQ(R.Count, 400000u);
}

// --- Passes ---------------------------------------------------------------------------------

TExchangePass Reply(const std::string& Head, const std::string& Body = "") {
  TExchangePass P;
  P.Method = "GET";
  P.ReplyHeader = Head + "\r\n\r\n";
  P.ReplyNumber = std::stoi(Head.substr(Head.find(' ') + 1, 3));
  P.Body = Body;
  P.BodyBytes = static_cast<std::int64_t>(Body.size());
  return P;
}

std::string Joined(const std::vector<THeaderChange>& Changes) {
  std::string Out;
  const char* Marks[] = {"+", "-", "~"};
  for (const THeaderChange& C : Changes)
    Out += (Out.empty() ? "" : "|") + std::string(Marks[static_cast<int>(C.Kind)]) + C.Name +
           (C.Volatile ? "(v)" : "") + ":" + C.Before + ">" + C.After;
  return Out;
}

struct THeaderRow {
  const char* A;
  const char* B;
  const char* Changes;
  bool Same;
};

class HeaderCompareTest : public ::testing::TestWithParam<THeaderRow> {};

TEST_P(HeaderCompareTest, FieldsAddedRemovedChangedAndVolatile) {
  TPassCompare::TOptions Options;
  Options.Volatile.push_back("X-Build");
  const auto R = TPassCompare::Compare(Reply(GetParam().A), Reply(GetParam().B), Options);
  EXPECT_EQ(Joined(R.Headers), GetParam().Changes);
  EXPECT_EQ(R.Same(), GetParam().Same);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HeaderCompareTest,
    ::testing::Values(
        THeaderRow{"HTTP/1.1 200 OK\r\nDate: x\r\nServer: a\r\nX-A: 1",
                   "HTTP/1.0 200 Fine\r\ndate: y\r\nX-B: 2\r\nserver: b",
                   "~date(v):x>y|~server:a>b|-X-A:1>|+X-B:>2", false},
        THeaderRow{"HTTP/1.1 200 OK\r\nSet-Cookie: s=1; Expires=Mon; Path=/\r\nX-Build: 7",
                   "HTTP/2 200 \r\nSet-Cookie: s=1; Path=/; Max-Age=60\r\nX-Build: 8",
                   "~Set-Cookie(v):s=1; Expires=Mon; Path=/>s=1; Path=/; Max-Age=60|~X-Build(v):7>8", true},
        THeaderRow{"HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\nSet-Cookie: t=2", "HTTP/1.1 200 OK\r\nSet-Cookie: s=2",
                   "~Set-Cookie:s=1>s=2|-Set-Cookie:t=2>", false},
        THeaderRow{"HTTP/1.1 200 OK\r\nETag: \"1\"", "HTTP/1.1 404 Not Found\r\nETag: \"1\"", "", false},
        // Between HTTP/2 and HTTP/1.1 the fields of the connection and of the framing come and
        // go with the version; a value that changed counts, and so does another field.
        THeaderRow{"HTTP/2 200 \r\ncontent-type: text/plain",
                   "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: keep-alive\r\n"
                   "Keep-Alive: timeout=5\r\nTransfer-Encoding: chunked",
                   "+Connection(v):>keep-alive|+Keep-Alive(v):>timeout=5|"
                   "+Transfer-Encoding(v):>chunked",
                   true},
        THeaderRow{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nUpgrade: h2c\r\nVary: a",
                   "h2 200 \r\ncontent-length: 6",
                   "~content-length:5>6|-Upgrade(v):h2c>|-Vary:a>", false},
        THeaderRow{"HTTP/1.1 200 OK\r\nConnection: close", "HTTP/1.0 200 OK", "-Connection:close>",
                   false}));

std::string Png(int W, int H) {
  std::string P("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (int V : {W, H})
    for (int Shift = 24; Shift >= 0; Shift -= 8) P += static_cast<char>((V >> Shift) & 0xFF);
  return P + "rest";
}

const std::string Jpeg = std::string("\xFF\xD8\xFF\xE0\x00\x04" "ab\xFF\xC2\x00\x0B\x08\x01\x2C\x02\x58", 17);

struct TBodyRow {
  const char* TypeA;
  std::string A;
  std::string B;
  TBodyKind Kind;
  bool Same;
  std::string Summary;  // the JSON changes, the line edits, the images and first offset
};

class BodyCompareTest : public ::testing::TestWithParam<TBodyRow> {};

TEST_P(BodyCompareTest, EachKindOfBody) {
  const TBodyRow& Row = GetParam();
  const auto R = TPassCompare::Compare(
      Reply(std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + Row.TypeA, Row.A),
      Reply("HTTP/1.1 200 OK", Row.B));
  EXPECT_EQ(R.Body.Kind, Row.Kind);
  EXPECT_EQ(R.Body.Same, Row.Same);
  std::string Summary;
  if (Row.Kind == TBodyKind::bkJson) Summary = Joined(R.Body.Json);
  if (Row.Kind == TBodyKind::bkText) Summary = Script(R.Body.Lines);
  if (Row.Kind == TBodyKind::bkImage)
    Summary = R.Body.ImageA.Type + std::to_string(R.Body.ImageA.Width) + "x" +
              std::to_string(R.Body.ImageA.Height) + " " + R.Body.ImageB.Type +
              std::to_string(R.Body.ImageB.Width) + "x" + std::to_string(R.Body.ImageB.Height);
  if (R.Body.FirstDifference) Summary += "@" + std::to_string(*R.Body.FirstDifference);
  EXPECT_EQ(Summary, Row.Summary);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BodyCompareTest,
    ::testing::Values(
        TBodyRow{"application/problem+json; charset=utf-8", R"({"a":1,"b":2})", R"({"b":2, "a":1})",
                 TBodyKind::bkJson, true, ""},
        TBodyRow{"application/json", R"({"a":1})", R"({"a":2})", TBodyKind::bkJson, false, "~$.a: 1 → 2"},
        TBodyRow{"application/json", "{\"a\":\n", "{\"a\":\n1", TBodyKind::bkText, false, "+1:1$"},
        TBodyRow{"text/plain", "{\"a\":1}", "{\"a\": 1}", TBodyKind::bkText, false,
                 "-0:{\"a\":1}$|+0:{\"a\": 1}$"},
        TBodyRow{"image/png", Png(3, 5), Png(4, 5), TBodyKind::bkImage, false, "PNG3x5 PNG4x5@19"},
        TBodyRow{"image/gif", std::string("GIF89a\x03\x00\x02\x00", 10), Jpeg, TBodyKind::bkImage, false,
                 "GIF3x2 JPEG600x300@0"},
        TBodyRow{"application/octet-stream", std::string("\0\1\2", 3), std::string("\0\1\3\4", 4),
                 TBodyKind::bkBytes, false, "@2"},
        TBodyRow{"application/octet-stream", std::string("\0\1", 2), std::string("\0\1\2", 3),
                 TBodyKind::bkBytes, false, "@2"}));

TEST(PassCompareTest, BodiesKeptInPartAreNeverTheSameAndTimingsDiffer) {
  TExchangePass A = Reply("HTTP/1.1 200 OK", "abc\n");
  TExchangePass B = A;
  B.BodyBytes = 10;
  A.At = {std::nullopt, 2, 3, 5, 5, 9};
  B.At = {1, 2, 4, 12, 12, 13};
  const auto R = TPassCompare::Compare(A, B);
  EXPECT_TRUE(R.Body.Cut);
  EXPECT_FALSE(R.Body.Same);
  ASSERT_EQ(R.Timings.size(), 5u);
  EXPECT_EQ(R.Timings[0].Kind, TSpanKind::skLookUp);
  EXPECT_FALSE(R.Timings[0].Difference());
  EXPECT_EQ(R.Timings[3].Kind, TSpanKind::skWait);
  EXPECT_EQ(R.Timings[3].Difference(), 6.0);
  EXPECT_EQ(R.Timings[4].Difference(), -3.0);
  EXPECT_FALSE(R.Tls);
}

// A session's version, cipher, leaf and outcome are set side by side; a change is shown and
// never counted.
TEST(PassCompareTest, TlsFactsChangeWithoutCounting) {
  TExchangePass A = Reply("HTTP/1.1 200 OK", "abc\n");
  A.Tls.emplace();
  A.Tls->Version = "TLSv1.3";
  A.Tls->Outcome.HandshakeDone = true;
  A.Tls->Chain.resize(1);
  A.Tls->Chain[0].Sha256 = "AB";
  A.Tls->Chain[0].NotAfter = 100;
  const std::vector<std::function<void(TExchangePass&)>> Changes = {
      [](TExchangePass&) {},
      [](TExchangePass& B) { B.Tls->Version = "TLSv1.2"; },
      [](TExchangePass& B) { B.Tls->Chain[0].Sha256 = "CD"; },
      [](TExchangePass& B) { B.Tls->Chain[0].NotAfter = 200; },
      [](TExchangePass& B) { B.Tls->Outcome.VerifyResult = 10; },
      [](TExchangePass& B) { B.Tls.reset(); }};
  for (std::size_t I = 0; I < Changes.size(); ++I) {
    TExchangePass B = A;
    Changes[I](B);
    const auto R = TPassCompare::Compare(A, B);
    ASSERT_TRUE(R.Tls) << I;
    EXPECT_EQ(R.Tls->Changed(), I > 0) << I;
    EXPECT_TRUE(R.Tls->A.LetThrough && R.Tls->A.Fingerprint == "AB") << I;
    EXPECT_TRUE(R.Same()) << I;
  }
}

}  // namespace
