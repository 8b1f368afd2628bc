// The ordered line list: editing by index, keeping a sorted order, and the CR LF text.
#include "base/TStringList.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/Exception.h"

namespace {

using Lines = std::vector<std::string>;

void Fill(TStringList& List, const Lines& L) {
  for (const std::string& S : L) List.Add(S);
}

std::string TextOf(const Lines& L) {
  TStringList List;
  Fill(List, L);
  return List.Text();
}

void ExpectIndexError(const std::function<void()>& Action, const std::string& Message) {
  try {
    Action();
    ADD_FAILURE() << "no EStringListError";
  } catch (const EStringListError& E) {
    EXPECT_EQ(E.Message(), Message);
  }
}

TEST(StringList, AddAppendsAndReturnsTheIndex) {
  TStringList List;
  EXPECT_EQ(List.Add("b"), 0);
  EXPECT_EQ(List.Add("a"), 1);
  EXPECT_EQ(List.Add("b"), 2);
  EXPECT_EQ(List.Lines(), (Lines{"b", "a", "b"}));
  EXPECT_EQ(List[1], "a");
}

TEST(StringList, InsertDeleteReplace) {
  TStringList List;
  Fill(List, {"a", "b"});
  List.Insert(0, "first");
  List.Insert(3, "last");
  List.Insert(2, "mid");
  EXPECT_EQ(List.Lines(), (Lines{"first", "a", "mid", "b", "last"}));
  List.Delete(0);
  List.Delete(3);
  EXPECT_EQ(List.Lines(), (Lines{"a", "mid", "b"}));
  List.SetStrings(1, "M");
  EXPECT_EQ(List.Strings(1), "M");
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
}

TEST(StringList, RefilledAfterClearHoldsExactlyTheNewLines) {
  // Cleared lines are reused for the next ones: nothing of an old line may show through,
  // whatever the sizes, the order (sorted lists insert in the middle) or the source.
  const std::string Long(300, 'L');
  const std::vector<Lines> Passes = {
      {"GET / HTTP/1.0", "Accept: */*", std::string(40, 'x'), Long, "", "a"},
      {"b", std::string(100, 'y'), "Accept: */*", "", "GET / HTTP/1.0", Long, "c", "d"},
      {},
      {std::string(20, 'z'), "e"},
  };
  for (const bool Sorted : {false, true}) {
    TStringList List;
    List.SetSorted(Sorted);
    for (const Lines& Pass : Passes) {
      List.Clear();
      Fill(List, Pass);
      Lines Expected = Pass;
      if (Sorted) std::stable_sort(Expected.begin(), Expected.end());
      EXPECT_EQ(List.Lines(), Expected) << "sorted " << Sorted;
    }
    List.Clear();
    Fill(List, {"one line that is longer than a short string"});
    List.Add(List[0]);  // a line of the list itself
    EXPECT_EQ(List.Lines(), Lines(2, "one line that is longer than a short string"));
  }
}

TEST(StringList, IndexOutOfBoundsNamesTheIndex) {
  TStringList List;
  Fill(List, {"a", "b"});
  ExpectIndexError([&] { List.Strings(2); }, "List index out of bounds (2)");
  ExpectIndexError([&] { List.Strings(-1); }, "List index out of bounds (-1)");
  ExpectIndexError([&] { List.SetStrings(2, "x"); }, "List index out of bounds (2)");
  ExpectIndexError([&] { List.Delete(2); }, "List index out of bounds (2)");
  ExpectIndexError([&] { List.Insert(3, "x"); }, "List index out of bounds (3)");
  ExpectIndexError([&] { List.Insert(-1, "x"); }, "List index out of bounds (-1)");
  EXPECT_EQ(List.Lines(), (Lines{"a", "b"}));
}

TEST(StringList, IndexOfIsExactAndFindsTheFirst) {
  TStringList List;
  Fill(List, {"Host", "host", "x", "host"});
  EXPECT_EQ(List.IndexOf("host"), 1);
  EXPECT_EQ(List.IndexOf("Host"), 0);
  EXPECT_EQ(List.IndexOf("HOST"), -1);
  EXPECT_EQ(List.IndexOf(""), -1);
}

TEST(SortedStringList, TurningSortedOnSortsAtOnce) {
  TStringList List;
  Fill(List, {"pear", "apple", "fig", "Zoo"});
  List.SetSorted(true);
  EXPECT_EQ(List.Lines(), (Lines{"Zoo", "apple", "fig", "pear"}));  // byte order
  List.SetSorted(false);
  List.Add("banana");
  EXPECT_EQ(List[4], "banana");
}

TEST(SortedStringList, AddInsertsAtTheSortedPlace) {
  TStringList List;
  List.SetSorted(true);
  EXPECT_EQ(List.Add("m"), 0);
  EXPECT_EQ(List.Add("z"), 1);
  EXPECT_EQ(List.Add("a"), 0);
  EXPECT_EQ(List.Add("n"), 2);
  EXPECT_EQ(List.Add("m"), 2);  // after the equal line already there
  EXPECT_EQ(List.Lines(), (Lines{"a", "m", "m", "n", "z"}));
}

TEST(SortedStringList, IndexOfBisectsToTheFirstEqualLine) {
  TStringList List;
  List.SetSorted(true);
  for (const char* S : {"d", "b", "b", "f", "a", "b", "e"}) List.Add(S);
  EXPECT_EQ(List.IndexOf("a"), 0);
  EXPECT_EQ(List.IndexOf("b"), 1);
  EXPECT_EQ(List.IndexOf("f"), 6);
  EXPECT_EQ(List.IndexOf("c"), -1);
  EXPECT_EQ(List.IndexOf("0"), -1);
  EXPECT_EQ(List.IndexOf("g"), -1);
}

TEST(SortedStringList, EditsThatWouldBreakTheOrderAreRefused) {
  TStringList List;
  Fill(List, {"a", "b"});
  List.SetSorted(true);
  ExpectIndexError([&] { List.Insert(0, "z"); }, "Operation not allowed on sorted list");
  ExpectIndexError([&] { List.SetStrings(0, "z"); }, "Operation not allowed on sorted list");
  List.Delete(0);
  EXPECT_EQ(List.Lines(), (Lines{"b"}));
}

// A derived list changes the order through CompareStrings alone.
class TCaseless : public TStringList {
 protected:
  int CompareStrings(const std::string& A, const std::string& B) const override {
    return strcasecmp(A.c_str(), B.c_str());
  }
};

TEST(SortedStringList, DerivedComparisonDrivesSortAddAndFind) {
  TCaseless List;
  for (const char* S : {"beta", "Gamma", "ALPHA"}) List.Add(S);
  List.SetSorted(true);
  EXPECT_EQ(List.Lines(), (Lines{"ALPHA", "beta", "Gamma"}));
  EXPECT_EQ(List.Add("Delta"), 2);
  EXPECT_EQ(List.IndexOf("gamma"), 3);
  EXPECT_EQ(List.IndexOf("alpha"), 0);
}

TEST(StringListText, EveryLineIsFollowedByCrLf) {
  EXPECT_EQ(TextOf({}), "");
  EXPECT_EQ(TextOf({""}), "\r\n");
  EXPECT_EQ(TextOf({"GET / HTTP/1.0", "Host: x", ""}), "GET / HTTP/1.0\r\nHost: x\r\n\r\n");
}

struct SplitCase {
  const char* Text;
  Lines Expected;
};

class StringListSetText : public testing::TestWithParam<SplitCase> {};

TEST_P(StringListSetText, SplitsAtEveryKindOfLineBreak) {
  TStringList List;
  Fill(List, {"old"});
  List.SetText(GetParam().Text);
  EXPECT_EQ(List.Lines(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, StringListSetText,
                         testing::Values(SplitCase{"", {}}, SplitCase{"a", {"a"}},
                                         SplitCase{"a\r\n", {"a"}}, SplitCase{"a\r\nb", {"a", "b"}},
                                         SplitCase{"a\nb\n", {"a", "b"}},
                                         SplitCase{"a\rb\r", {"a", "b"}}, SplitCase{"\r\n", {""}},
                                         SplitCase{"a\r\n\r\nb", {"a", "", "b"}},
                                         SplitCase{"a\n\rb", {"a", "", "b"}},
                                         SplitCase{"a\r\r\nb", {"a", "", "b"}},
                                         SplitCase{"x\r\ny\nz\rw", {"x", "y", "z", "w"}}));

TEST(StringListText, SetTextOnASortedListSorts) {
  TStringList List;
  List.SetSorted(true);
  List.SetText("c\r\na\r\nb\r\n");
  EXPECT_EQ(List.Lines(), (Lines{"a", "b", "c"}));
}

}  // namespace
