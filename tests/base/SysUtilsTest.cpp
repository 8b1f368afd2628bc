// Integer conversions: what StrToInt accepts, what it refuses, and the text of its error.
#include "base/SysUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "base/Exception.h"

namespace {

struct ValidCase {
  const char* Text;
  int Expected;
};

class StrToIntValid : public testing::TestWithParam<ValidCase> {};

TEST_P(StrToIntValid, Converts) {
  EXPECT_EQ(StrToInt(GetParam().Text), GetParam().Expected);
  EXPECT_EQ(StrToIntDef(GetParam().Text, 12345), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrToIntValid,
    testing::Values(ValidCase{"0", 0}, ValidCase{"123", 123}, ValidCase{"007", 7},
                    ValidCase{"-45", -45}, ValidCase{"+7", 7}, ValidCase{"-0", 0},
                    ValidCase{"   12", 12}, ValidCase{"\t9", 9}, ValidCase{"  -3", -3},
                    ValidCase{"2147483647", INT_MAX}, ValidCase{"-2147483648", INT_MIN},
                    ValidCase{"00000000000000000042", 42}, ValidCase{"$FF", 255},
                    ValidCase{"$ff", 255}, ValidCase{"0x1a", 26}, ValidCase{"0XFF", 255},
                    ValidCase{"-$10", -16}, ValidCase{"$7FFFFFFF", INT_MAX},
                    ValidCase{"$FFFFFFFF", -1}, ValidCase{"$80000000", INT_MIN}));

class StrToIntInvalid : public testing::TestWithParam<const char*> {};

TEST_P(StrToIntInvalid, RaisesWithTheTextQuoted) {
  const std::string Text = GetParam();
  try {
    StrToInt(Text);
    FAIL() << "no exception for '" << Text << "'";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'" + Text + "' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef(Text, -77), -77);
}

INSTANTIATE_TEST_SUITE_P(Table, StrToIntInvalid,
                         testing::Values("", " ", "abc", "12a", "12 ", "1 2", "- 1", "+-1", "1.5",
                                         "2147483648", "-2147483649", "99999999999999999999",
                                         "$100000000", "$", "0x", "-", "$G", "0x-1", "x10", "1e3"));

TEST(StrToInt, MessageKeepsTheTextAsGiven) {
  try {
    StrToInt("  x ");
    FAIL();
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "'  x ' is not a valid integer value");
  }
}

TEST(IntToStr, PlainDecimal) {
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToStr(-1), "-1");
  EXPECT_EQ(IntToStr(65536), "65536");
  EXPECT_EQ(IntToStr(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
}

}  // namespace
