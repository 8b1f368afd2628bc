// orrery-cli --replay and --compare as a user runs them: the lines and exit statuses of a HAR
// recorded from one nginx and replayed against it and against a second one whose files
// differ, of two stored HARs compared, and the --json document and --har file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/cli/CliProgramFixture.h"

using clitest::Strings;
using json = nlohmann::json;

namespace {

struct TRunCase {
  const char* Name;
  Strings Args;  // {rec}: a HAR recorded from nginx, {other}: the second nginx's port,
                 // {data}: tests/cli/data
  int Status;
  std::string Out;  // standard output exactly, or with "~" first a part of it
  const char* Locale = "C";
};

class CliHarRunTest : public clitest::CliProgramTest {
 protected:
  void SetUp() override {
    clitest::CliProgramTest::SetUp();
    if (IsSkipped()) return;
    const char* JsonType = "location ~ \\.json$ { default_type application/json; }";
    Nginx = std::make_unique<clitest::TNginxServer>(JsonType);
    Other = std::make_unique<clitest::TNginxServer>(JsonType);
    Nginx->Serve("page.txt", "hello\nworld\n");
    Other->Serve("page.txt", "hello\nWorld\n");
    Nginx->Serve("info.json", "{\"v\":1}");
    Other->Serve("info.json", "{\"v\":2}");
    for (auto* Server : {Nginx.get(), Other.get()}) Server->Serve("same.txt", "same\n");
    ::setenv("LC_ALL", "C", 1);
    Rec = Record();
  }
  void TearDown() override { ::unsetenv("LC_ALL"); }

  // GET of each file, and a POST, recorded with orrery-cli --har, the entries in one file.
  std::string Record() {
    json All;
    for (const Strings& Args : {Strings{"{nginx}/page.txt"}, Strings{"{nginx}/info.json"},
                                Strings{"{nginx}/same.txt"}, Strings{"-d", "x", "{nginx}/same.txt"}}) {
      const std::string File = Expand("{scratch}/one.har");
      Strings Run = {"-s", "-o", "/dev/null", "--har", File};
      Run.insert(Run.end(), Args.begin(), Args.end());
      EXPECT_EQ(Cli(Run).Status, 0);
      json One = json::parse(clitest::ReadBytes(File));
      if (All.is_null())
        All = One;
      else
        All["log"]["entries"].push_back(One["log"]["entries"][0]);
    }
    const std::string File = Expand("{scratch}/rec.har");
    std::ofstream(File) << All.dump();
    return File;
  }

  std::string Fill(std::string Text) const {
    const std::pair<std::string, std::string> Names[] = {
        {"{rec}", Rec}, {"{other}", std::to_string(Other->Port())}, {"{data}", ORRERY_CLI_DATA}};
    for (const auto& [Name, Value] : Names)
      for (auto At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At))
        Text.replace(At, Name.size(), Value);
    return Expand(Text);
  }

  std::unique_ptr<clitest::TNginxServer> Other;
  std::string Rec;
};

class CliReplayTest : public CliHarRunTest, public ::testing::WithParamInterface<TRunCase> {};

TEST_P(CliReplayTest, LinesAndExitStatus) {
  ::setenv("LC_ALL", GetParam().Locale, 1);
  Strings Args;
  for (const std::string& A : GetParam().Args) Args.push_back(Fill(A));
  const clitest::TRunResult R = Cli(Args);
  EXPECT_EQ(R.Status, GetParam().Status) << R.Out << R.Err;
  const std::string Expected = Fill(GetParam().Out);
  if (!Expected.empty() && Expected[0] == '~')
    EXPECT_NE(R.Out.find(Expected.substr(1)), std::string::npos) << R.Out;
  else
    EXPECT_EQ(R.Out, Expected);
}

const std::string Post = "skipped   POST {nginx}/same.txt 405  (unsafe method POST: not re-sent "
                         "without --unsafe)\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, CliReplayTest,
    ::testing::Values(
        TRunCase{"AgainstTheSameServer", {"--replay", "{rec}"}, 1,
                 "same      GET {nginx}/page.txt 200 -> 200\n"
                 "same      GET {nginx}/info.json 200 -> 200\n"
                 "same      GET {nginx}/same.txt 200 -> 200\n" + Post +
                 "4 entries: 3 same, 1 skipped\n"},
        TRunCase{"UnsafeSendsThePost", {"--replay", "{rec}", "--unsafe"}, 0,
                 "~same      POST {nginx}/same.txt 405 \u2192 405\n4 entries: 4 same\n",
                 "C.UTF-8"},
        TRunCase{"AgainstTheOtherServer", {"--replay", "{rec}", "--base", "http://127.0.0.1:{other}"},
                 1,
                 "differs   GET http://127.0.0.1:{other}/page.txt 200 -> 200\n"
                 "    body: text, 12 -> 12 bytes\n    @@ -1,2 +1,2 @@\n     hello\n    -world\n"
                 "    +World\ndiffers   GET http://127.0.0.1:{other}/info.json 200 -> 200\n"
                 "    body: JSON, 7 -> 7 bytes\n    $.v: 1 -> 2\n"
                 "same      GET http://127.0.0.1:{other}/same.txt 200 -> 200\n"
                 "skipped   POST http://127.0.0.1:{other}/same.txt 405  (unsafe method POST: not "
                 "re-sent without --unsafe)\n4 entries: 1 same, 2 differs, 1 skipped\n"},
        TRunCase{"ARefusedConnectionFails",
                 {"--replay", "{rec}", "--base", "http://127.0.0.1:{refused}"}, 1,
                 "~failed    GET http://127.0.0.1:{refused}/page.txt 200 -> -  (Connection Failed)"},
        TRunCase{"NoSuchFile", {"--replay", "{scratch}/none.har"}, 2, ""},
        TRunCase{"NoHar", {"--compare", "{rec}", "{data}/../CMakeLists.txt"}, 2, ""},
        // The lines themselves are the printer's, tested there; here the pairing's order.
        TRunCase{"CompareTwoFiles", {"--compare", "{data}/api-a.har", "{data}/api-b.har"}, 1,
                 "~\nonly-in-B GET http://api.test/new 404\ndiffers   GET http://api.test/readme.txt"},
        TRunCase{"CompareWithItself", {"--compare", "{data}/api-a.har", "{data}/api-a.har"}, 0,
                 "~4 entries: 4 same\n"},
        TRunCase{"IgnoredHeader",
                 {"--compare", "{data}/api-a.har", "{data}/api-b.har", "--ignore-header", "server"},
                 1, "~differs   GET http://api.test/readme.txt 200 -> 200\n    body: text"},
        TRunCase{"UsageError", {"--compare", "{rec}", "{rec}", "-L"}, 2, ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// --json: one document, its counts and outcomes; --har: the new passes, rebased.
TEST_F(CliHarRunTest, JsonAndHar) {
  const std::string Out = Expand("{scratch}/out.har");
  const clitest::TRunResult R =
      Cli({"--replay", Rec, "--json", "--har", Out, "--base", Fill("http://127.0.0.1:{other}")});
  EXPECT_EQ(R.Status, 1) << R.Err;
  const json Doc = json::parse(R.Out);
  EXPECT_EQ(Doc["counts"], json::parse(R"({"same":1,"differs":2,"failed":0,"skipped":1,
                                          "only-in-A":0,"only-in-B":0})"));
  EXPECT_EQ(Doc["entries"][1]["comparison"]["body"]["json"]["changes"][0]["path"], "$.v");
  EXPECT_EQ(Doc["exitStatus"], 1);
  const json Har = json::parse(clitest::ReadBytes(Out));
  ASSERT_EQ(Har["log"]["entries"].size(), 3u);
  EXPECT_EQ(Har["log"]["entries"][2]["request"]["url"],
            Fill("http://127.0.0.1:{other}/same.txt"));
}

}  // namespace
