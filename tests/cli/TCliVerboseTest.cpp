// The -v trace's lines as a table: what each call writes at each level.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cli/TCliVerbose.h"

namespace {

struct VerboseCase {
  const char* Name;
  int Level;
  std::function<void(const TCliVerbose&)> Calls;
  const char* Expected;
};

class CliVerboseTest : public ::testing::TestWithParam<VerboseCase> {};

TEST_P(CliVerboseTest, Writes) {
  const VerboseCase& C = GetParam();
  std::string Got;
  int Lines = 0;
  const TCliVerbose Verbose(C.Level, [&](const std::string& Line) {
    EXPECT_EQ(Line.find('\n'), Line.size() - 1) << "not one whole line: " << Line;
    Got += Line;
    ++Lines;
  });
  C.Calls(Verbose);
  EXPECT_EQ(Got, C.Expected);
}

const char* const Request = "GET / HTTP/1.0\r\nHost: h\r\n\r\n";
const char* const Reply = "HTTP/1.0 200 OK\r\nX-A: 1\r\n\r\n";

// clang-format off: one case a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliVerboseTest,
    ::testing::Values(
        VerboseCase{"Off", 0,
                    [](const TCliVerbose& V) {
                      V.Stage(1, "x");
                      V.Status(1, "y");
                      V.RequestHeader(Request);
                      V.ReplyHeader(Reply);
                    },
                    ""},
        VerboseCase{"Stage", 1, [](const TCliVerbose& V) { V.Stage(12, "Connected"); },
                    "* [  12 ms] Connected\n"},
        VerboseCase{"WideTime", 1, [](const TCliVerbose& V) { V.Stage(123456, "x"); },
                    "* [123456 ms] x\n"},
        VerboseCase{"StatusHiddenAtOne", 1, [](const TCliVerbose& V) { V.Status(3, "Connecting"); },
                    ""},
        VerboseCase{"StatusShownAtTwo", 2, [](const TCliVerbose& V) { V.Status(3, "Connecting"); },
                    "* [   3 ms] Connecting\n"},
        VerboseCase{"RequestBlock", 1, [](const TCliVerbose& V) { V.RequestHeader(Request); },
                    "> GET / HTTP/1.0\n> Host: h\n>\n"},
        VerboseCase{"ReplyBlock", 1, [](const TCliVerbose& V) { V.ReplyHeader(Reply); },
                    "< HTTP/1.0 200 OK\n< X-A: 1\n<\n"},
        VerboseCase{"BareLineEnds", 1,
                    [](const TCliVerbose& V) { V.ReplyHeader("HTTP/1.0 200 OK\nA: b\n\n"); },
                    "< HTTP/1.0 200 OK\n< A: b\n<\n"},
        VerboseCase{"CutOffInTheHeader", 1,
                    [](const TCliVerbose& V) { V.ReplyHeader("HTTP/1.0 200 OK\r\nX-Half: 1"); },
                    "< HTTP/1.0 200 OK\n< X-Half: 1\n"},
        VerboseCase{"EmptyBlock", 1, [](const TCliVerbose& V) { V.ReplyHeader(""); }, ""},
        VerboseCase{"ControlBytesEscaped", 1,
                    [](const TCliVerbose& V) {
                      V.ReplyHeader("X-Evil: \x1b[2J\x07!\t\x7f\r\n");
                      V.Stage(0, std::string("a\rb\0c", 5));
                    },
                    "< X-Evil: \\x1b[2J\\x07!\t\\x7f\n* [   0 ms] a\\x0db\\x00c\n"},
        VerboseCase{"LoneCrInsideALine", 1,
                    [](const TCliVerbose& V) { V.ReplyHeader("A: x\ry\r\n"); }, "< A: x\\x0dy\n"},
        VerboseCase{"HighBytesKept", 1, [](const TCliVerbose& V) { V.Stage(0, "caf\xc3\xa9"); },
                    "* [   0 ms] caf\xc3\xa9\n"},
        VerboseCase{"BidiMarked", 1, [](const TCliVerbose& V) { V.Stage(0, "a\u202Eb\u2066c"); },
                    "* [   0 ms] a<U+202E>b<U+2066>c\n"}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

}  // namespace
