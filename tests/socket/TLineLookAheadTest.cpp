// TLineLookAhead: the lines found in peeked bytes, and the counts a capture and a settle
// rely on, as a table of peeks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket/TLineLookAhead.h"

namespace {

struct TPeekRow {
  const char* Name;
  std::string Buffer;  // the buffer's content; the peek is [Begin, End) of it
  std::size_t Begin, End, Used;
  std::vector<std::string> Lines;  // handed out in order until no whole line is left
  std::size_t LeftAfter;           // peeked bytes not handed out at the end
};

const TPeekRow PeekRows[] = {
    {"NothingPeeked", "", 0, 0, 0, {}, 0},
    {"OneLineExactly", "a\n", 0, 2, 0, {"a\n"}, 0},
    {"CrLfKeptWhole", "HTTP/1.0 200 OK\r\nA: b\r\n\r\n", 0, 25, 0,
     {"HTTP/1.0 200 OK\r\n", "A: b\r\n", "\r\n"}, 0},
    {"PartialTailStays", "x\nyz", 0, 4, 0, {"x\n"}, 2},
    {"NoLineEnd", "abc", 0, 3, 0, {}, 3},
    {"CrAloneEndsNothing", "a\rb\n", 0, 4, 0, {"a\rb\n"}, 0},
    {"EmptyLines", "\n\n\n", 0, 3, 0, {"\n", "\n", "\n"}, 0},
    // The full path consumes the start of a line into its result and keeps the peek from
    // there: Begin is past the consumed bytes, Used counts the line it handed out itself.
    {"AfterConsumedStart", "abcd\nef\ng", 2, 9, 3, {"ef\n"}, 1},
    {"UsedUpAlready", "ab\n", 0, 3, 3, {}, 0},
    {"NulInsideLine", std::string("a\0b\nc\n", 6), 0, 6, 0, {std::string("a\0b\n", 4), "c\n"}, 0},
};

class LineLookAheadTable : public ::testing::TestWithParam<TPeekRow> {};

TEST_P(LineLookAheadTable, HandsOutEachLineOnceThenHoldsTheRest) {
  const TPeekRow& Row = GetParam();
  TLineLookAhead Ahead(Row.Buffer.data());
  Ahead.Hold(Row.Begin, Row.End, Row.Used);
  EXPECT_EQ(Ahead.Holds(), Row.End != Row.Begin);
  std::vector<std::string> Lines;
  std::size_t Handed = Row.Used;
  for (std::size_t Length = Ahead.NextLine(); Length != 0; Length = Ahead.NextLine()) {
    ASSERT_LE(Length, Ahead.Left());
    std::string Line = "stale";  // HandOut replaces, never appends
    Ahead.HandOut(Length, Line);
    Lines.push_back(Line);
    Handed += Length;
    EXPECT_EQ(Ahead.Used(), Handed);
  }
  EXPECT_EQ(Lines, Row.Lines);
  EXPECT_EQ(Ahead.Left(), Row.LeftAfter);
  EXPECT_EQ(Ahead.UsedUp(), Row.LeftAfter == 0);
  // What a capture does next: forget the peek, drop the handed-out bytes as they arrive.
  Ahead.ForgetPeeked();
  EXPECT_FALSE(Ahead.Holds());
  EXPECT_EQ(Ahead.NextLine(), 0u) << "no line without a peek, whatever was handed out";
  EXPECT_EQ(Ahead.Left(), 0u) << "nothing left to hand out, and no wrap below zero";
  EXPECT_EQ(Ahead.Used(), Handed);
  if (Handed > 0) {
    Ahead.Dropped(1);
    EXPECT_EQ(Ahead.Used(), Handed - 1);
  }
  EXPECT_EQ(Ahead.Release(), Handed > 0 ? Handed - 1 : 0);
  EXPECT_EQ(Ahead.Used(), 0u);
  EXPECT_FALSE(Ahead.Holds());
}

INSTANTIATE_TEST_SUITE_P(Peeks, LineLookAheadTable, ::testing::ValuesIn(PeekRows),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
