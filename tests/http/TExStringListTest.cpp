// Header lines found, replaced and removed by name, in unsorted and sorted lists, and the
// order of header names that a sorted list relies on.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "http/TExStringList.h"

namespace {

int Sign(int V) { return (V > 0) - (V < 0); }

class HeaderListTest : public ::testing::Test {
 protected:
  void Load(std::initializer_list<const char*> Lines) {
    List.Clear();
    for (const char* L : Lines) List.Add(L);
  }
  std::vector<std::string> Lines() const { return List.Lines(); }

  TExStringList List;
};

TEST_F(HeaderListTest, IndexOfHeaderInAnUnsortedList) {
  Load({"Host: example.org:8080", "cookie: a=1", "Referer", "From:", "X-Spaced : v", "Cookie: b=2",
        "User-Agent: Orrery: 1.0"});
  const struct {
    const char* Name;
    int Index;
  } Cases[] = {
      {"Host", 0},         {"HOST", 0},
      {"Cookie", 1},       {"COOKIE", 1},
      {"Referer", -1},     {"From", 3},
      {"X-Spaced", -1},    {"X-Spaced ", 4},
      {"User-Agent", 6},   {"User-Agent: Orrery", -1},
      {"example.org", -1}, {"Hos", -1},
      {"Hostt", -1},       {"", -1},
  };
  for (const auto& C : Cases) EXPECT_EQ(List.IndexOfHeader(C.Name), C.Index) << C.Name;
}

TEST_F(HeaderListTest, EmptyListFindsNothing) {
  EXPECT_EQ(List.IndexOfHeader("Host"), -1);
  List.SetSorted(true);
  EXPECT_EQ(List.IndexOfHeader("Host"), -1);
  EXPECT_EQ(List.IndexOfHeader(""), -1);
}

TEST_F(HeaderListTest, SetHeaderReplacesTheFirstInPlaceWithTheCallersSpelling) {
  Load({"Accept: */*", "host: a", "From: me", "Host: b"});
  List.SetHeader("Host", "c:81");
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"Accept: */*", "Host: c:81", "From: me", "Host: b"}));
  EXPECT_EQ(List.Text(), "Accept: */*\r\nHost: c:81\r\nFrom: me\r\nHost: b\r\n");
}

TEST_F(HeaderListTest, SetHeaderAppendsANewName) {
  Load({"Host: a", "Referer"});
  List.SetHeader("Referer", "http://x/");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Host: a", "Referer", "Referer: http://x/"}));
}

TEST_F(HeaderListTest, EmptyValueRemovesOnlyThatHeader) {
  Load({"Host: a", "referer: b", "From: c", "Referer: d"});
  List.SetHeader("Referer", "");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Host: a", "From: c", "Referer: d"}));
  Load({"Host: a", "From: c"});
  List.SetHeader("Referer", "");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Host: a", "From: c"}));
}

TEST_F(HeaderListTest, SortedListFindsEveryHeaderByBisection) {
  const std::vector<std::string> Names = {"User-Agent",      "accept",       "Accept-Charset",
                                          "AcceptX",         "Content-Type", "content-length",
                                          "Cookie",          "From",         "Host",
                                          "Referer",         "X-1",          "x2",
                                          "Authorization",   "A1",           "A",
                                          "Accept-Encoding", "X-Forwarded",  "Xa"};
  for (const std::string& N : Names) List.Add(N + ": v:" + N);
  List.Add("no colon here");
  List.SetSorted(true);
  auto NameOf = [](const std::string& Line) {
    std::size_t Colon = Line.find(':');
    return Colon == std::string::npos ? std::string() : Line.substr(0, Colon);
  };
  EXPECT_EQ(List[0], "no colon here");
  for (int I = 1; I < List.Count(); ++I)
    EXPECT_LT(TExStringList::CompareHeaderNames(NameOf(List[I - 1]), NameOf(List[I])), 0)
        << List[I - 1] << " / " << List[I];
  for (const std::string& N : Names) {
    std::string Upper = N;
    for (char& C : Upper) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    int I = List.IndexOfHeader(Upper);
    ASSERT_GE(I, 0) << N;
    EXPECT_EQ(List[I], N + ": v:" + N);
  }
  EXPECT_EQ(List.IndexOfHeader("Content"), -1);
  EXPECT_EQ(List.IndexOfHeader("Zzz"), -1);
  EXPECT_EQ(List.IndexOfHeader("0"), -1);
}

TEST_F(HeaderListTest, SortedListReportsAndReplacesTheFirstOfOneName) {
  // The middle of the list is the second "Host" line, where a bisection first lands.
  Load({"Host: a", "From: x", "host: b", "Host: c", "Accept: y", "User-Agent: u", "Referer: r"});
  List.SetSorted(true);
  ASSERT_EQ(List.IndexOfHeader("HOST"), 2);
  List.SetHeader("Host", "z");
  List.SetHeader("Cookie", "k=1");
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"Accept: y", "Cookie: k=1", "From: x", "Host: z", "host: b",
                                      "Host: c", "Referer: r", "User-Agent: u"}));
  List.SetHeader("host", "");
  List.SetHeader("Accept", "");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Cookie: k=1", "From: x", "host: b", "Host: c",
                                               "Referer: r", "User-Agent: u"}));
  EXPECT_EQ(List.IndexOfHeader("Host"), 2);
}

TEST(HeaderNameOrder, Pairs) {
  const struct {
    const char *A, *B;
    int Expected;
  } Cases[] = {
      {"Host", "host", 0},
      {"CONTENT-LENGTH", "content-length", 0},
      {"", "", 0},
      {"", "A", -1},
      {"A", "A1", -1},   // a prefix sorts first
      {"A1", "AB", -1},  // digits before letters
      {"A.", "A1", -1},  // punctuation before digits
      {"A~", "A0", -1},
      {"A~", "Aa", -1},
      {"Z", "a", 1},  // case is ignored, not ASCII order
      {"_", "a", -1},
      {"coop", "co-op", -1},  // hyphens only break ties
      {"co-op", "coop", 1},
      {"co-op", "cop", -1},  // ... and are skipped in the first pass
      {"Accept", "Accept-Charset", -1},
      {"Accept-Charset", "AcceptX", -1},
      {"X-Forwarded", "Xa", 1},
      {"a-b", "ab-", -1},  // the earlier hyphen first
      {"a'b", "a-b", -1},
      {"a--b", "a-b", 1},    // more skipped characters last
      {"A\xE9", "Az", 1},    // high bytes after the letters
      {"\xC9", "\xE9", -1},  // and not folded
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(Sign(TExStringList::CompareHeaderNames(C.A, C.B)), C.Expected) << C.A << " / " << C.B;
    EXPECT_EQ(Sign(TExStringList::CompareHeaderNames(C.B, C.A)), -C.Expected)
        << C.B << " / " << C.A;
  }
}

// A sorted list and its bisection need a consistent order: equality only for the same name
// in another case, and transitivity across every triple.
TEST(HeaderNameOrder, IsATotalOrderUpToCase) {
  const std::vector<std::string> Names = {"",
                                          "-",
                                          "'",
                                          "a",
                                          "A",
                                          "a-",
                                          "-a",
                                          "a-b",
                                          "ab",
                                          "a'b",
                                          "A-B",
                                          "ab-",
                                          "a1",
                                          "1a",
                                          "1",
                                          "a.",
                                          "a b",
                                          "a:",
                                          "Z",
                                          "z-",
                                          "\xE9",
                                          "\xC9",
                                          "e",
                                          "a--b",
                                          "Content-Length",
                                          "content-length",
                                          "ContentLength",
                                          "Content-Type",
                                          "Content"};
  auto Lower = [](std::string S) {
    for (char& C : S)
      if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return S;
  };
  for (const std::string& A : Names) {
    for (const std::string& B : Names) {
      int AB = Sign(TExStringList::CompareHeaderNames(A, B));
      EXPECT_EQ(AB == 0, Lower(A) == Lower(B)) << A << " / " << B;
      for (const std::string& C : Names) {
        int BC = Sign(TExStringList::CompareHeaderNames(B, C));
        if (AB <= 0 && BC <= 0) {
          EXPECT_LE(TExStringList::CompareHeaderNames(A, C), 0) << A << " / " << B << " / " << C;
        }
      }
    }
  }
}

}  // namespace
