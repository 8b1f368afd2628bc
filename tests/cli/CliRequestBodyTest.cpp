// The request body from the command line's pieces, as a table, with files served from a
// table of their own.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli/CliErrors.h"
#include "cli/CliRequestBody.h"

namespace {

using Kind = TCliOptions::TDataKind;

struct BodyCase {
  const char* Name;
  std::vector<TCliOptions::TDataPiece> Pieces;
  std::string Expected;  // or "error: " and part of the reason
};

class CliRequestBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(CliRequestBodyTest, Composes) {
  const std::map<std::string, std::string> Files = {{"form.txt", "a=1\r\n&b=2\n"},
                                                    {"bin", std::string("\0\r\n\xff@", 5)},
                                                    {"-", "from stdin\n"},
                                                    {"empty", ""}};
  const TCliFileReader Read = [&Files](const std::string& Name) {
    const auto It = Files.find(Name);
    if (It == Files.end()) throw ECliReadError("cannot read '" + Name + "'");
    return It->second;
  };
  const BodyCase& C = GetParam();
  std::string Got;
  try {
    Got = CliRequestBody(C.Pieces, Read);
  } catch (const ECliReadError& E) {
    Got = std::string("error: ") + E.what();
  }
  EXPECT_EQ(Got, C.Expected);
}

// clang-format off: one case a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliRequestBodyTest,
    ::testing::Values(
        BodyCase{"None", {}, ""}, BodyCase{"Empty", {{Kind::dkText, ""}}, ""},
        BodyCase{"AsGiven", {{Kind::dkText, "a=1&b=2 c"}}, "a=1&b=2 c"},
        BodyCase{"Joined", {{Kind::dkText, "a=1"}, {Kind::dkText, "b=2"}}, "a=1&b=2"},
        BodyCase{"JoinedEmpty", {{Kind::dkText, ""}, {Kind::dkText, ""}}, "&"},
        BodyCase{"TextFileLosesLineEnds", {{Kind::dkText, "@form.txt"}}, "a=1&b=2"},
        BodyCase{"BinaryFileAsItIs", {{Kind::dkBinary, "@bin"}}, std::string("\0\r\n\xff@", 5)},
        BodyCase{"BinaryText", {{Kind::dkBinary, "x\r\n"}}, "x\r\n"},
        BodyCase{"RawKeepsTheAt", {{Kind::dkRaw, "@form.txt"}}, "@form.txt"},
        BodyCase{"UrlEncodeKeepsTheAt", {{Kind::dkUrlEncode, "@form.txt"}}, "@form.txt"},
        BodyCase{"LoneAt", {{Kind::dkText, "@"}}, "@"},
        BodyCase{"Stdin", {{Kind::dkText, "@-"}}, "from stdin"},
        BodyCase{"StdinBinary", {{Kind::dkBinary, "@-"}}, "from stdin\n"},
        BodyCase{"EmptyFile", {{Kind::dkBinary, "@empty"}, {Kind::dkText, "x"}}, "&x"},
        BodyCase{"Mixed",
                 {{Kind::dkText, "a"}, {Kind::dkBinary, "@bin"}, {Kind::dkRaw, "@r"}},
                 std::string("a&\0\r\n\xff@&@r", 10)},
        BodyCase{"MissingFile",
                 {{Kind::dkText, "a"}, {Kind::dkText, "@nope"}},
                 "error: cannot read 'nope'"}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

TEST(CliReadFile, ReadsAFileAndRefusesWhatIsNone) {
  EXPECT_THROW(CliReadFile("/no/such/file"), ECliReadError);
  EXPECT_THROW(CliReadFile("/"), ECliReadError);
  EXPECT_EQ(CliReadFile("/dev/null"), "");
}

}  // namespace
