// Bidirectional controls shown as marks: each of them, and nothing else.
#include "base/BidiText.h"

#include <gtest/gtest.h>

namespace {

TEST(BidiText, MarksEachControlAndNothingElse) {
  const struct {
    std::string_view In, Shown;
  } Rows[] = {
      {"plain text", "plain text"},
      {"abc\u202Efed", "abc<U+202E>fed"},
      {"\u200E\u200F\u061C", "<U+200E><U+200F><U+061C>"},
      {"a\u202Ab\u202Dc", "a<U+202A>b<U+202D>c"},
      {"\u2066x\u2069", "<U+2066>x<U+2069>"},
      // Neighbours of the controls, and the same leading bytes in other characters.
      {"\u2029\u202F\u2065\u206A\u2010\u061B", "\u2029\u202F\u2065\u206A\u2010\u061B"},
      // Not UTF-8: a cut sequence and Windows-1252 bytes stay as they are.
      {"\xE2\x80", "\xE2\x80"},
      {"\xE2\x80(", "\xE2\x80("},
      {"caf\xE9 \xE2", "caf\xE9 \xE2"},
  };
  for (const auto& Row : Rows) EXPECT_EQ(WithVisibleBidi(Row.In), Row.Shown) << Row.In;
}

}  // namespace
