// --har as orrery-cli writes it: the scripted three-hop exchange equals the inspect layer's
// stored reference (times, dates, ports and the version masked), every field HAR 1.2 requires
// is there on every entry, and a pass that failed midway is written with status 0 and _error.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/cli/CliProgramFixture.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/inspect/ThreeHops.h"
#include "tests/support/HarFields.h"
#include "tests/support/HarMask.h"

using clitest::CliProgramTest;
using clitest::ReadBytes;
using clitest::Strings;
using clitest::TRunResult;
using json = nlohmann::json;

namespace {

const std::string ReferenceFile = std::string(ORRERY_INSPECT_DATA) + "/three-hops.har";

class CliHarTest : public CliProgramTest {
 protected:
  // Runs orrery-cli with Args and --har; returns the file's text.
  std::string Har(const Strings& Args, int Status) {
    const std::string File = (Nginx->Scratch() / "run.har").string();
    Strings All = Args;
    All.insert(All.begin(), {"--har", File});
    const TRunResult R = Cli(All);
    EXPECT_EQ(R.Status, Status) << R.Err;
    return ReadBytes(File);
  }

  std::string ThreeHops() {
    testsupport::ScriptedHttpServer Server(ThreeHopsReplies());
    PeerPort = Server.Port();
    // The stored reference was made with HTTP/1.0 requests.
    return Har(
        {"-0", "-sL", "-o", "/dev/null", "http://127.0.0.1:{peer}" + std::string(ThreeHopsStart)},
        0);
  }
};

TEST_F(CliHarTest, ThreeHopsEqualTheStoredReference) {
  const std::string Text = ThreeHops();
  const std::string Reference = ReadBytes(ReferenceFile);
  ASSERT_FALSE(Reference.empty()) << "missing " << ReferenceFile;
  EXPECT_EQ(testsupport::MaskedHarText(Text), testsupport::MaskedHarText(Reference));
}

// A second hop that cannot be reached: the first entry is whole, the second has status 0 and
// the error; the run's status is the connection's.
TEST_F(CliHarTest, APassThatFailedIsWrittenWithItsError) {
  testsupport::ScriptedHttpServer Server(
      {testsupport::Whole("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" +
                          std::to_string(Refused.Port()) + "/gone\r\nContent-Length: 0\r\n\r\n")});
  PeerPort = Server.Port();
  const json Doc = json::parse(Har({"-sL", "http://127.0.0.1:{peer}/start"}, 7));
  const json& Entries = Doc["log"]["entries"];
  ASSERT_EQ(Entries.size(), 2u) << Doc.dump(2);
  EXPECT_EQ(Entries[0]["response"]["status"], 302);
  EXPECT_FALSE(Entries[0]["response"].contains("_error"));
  EXPECT_EQ(Entries[1]["response"]["status"], 0);
  EXPECT_EQ(Entries[1]["request"]["url"],
            "http://127.0.0.1:" + std::to_string(Refused.Port()) + "/gone");
  EXPECT_EQ(Entries[1]["response"]["_error"], "Connection Failed");
  EXPECT_EQ(Entries[1]["timings"]["connect"], -1);
}

// Every field HAR 1.2 requires, with its type, on every entry: of the three hops, of a run
// that failed, and of one that ended with a body over --max-filesize.
TEST_F(CliHarTest, EveryRequiredFieldIsThere) {
  std::vector<json> Documents = {
      json::parse(ThreeHops()), json::parse(Har({"-s", "http://127.0.0.1:{refused}/"}, 7)),
      json::parse(Har({"-s", "--max-filesize", "3", "{nginx}/small.txt"}, 63))};
  for (const json& Doc : Documents) testsupport::ExpectRequiredHarFields(Doc);
  const json& Cut = Documents[2]["log"]["entries"][0];
  // Its header came whole: the status that arrived stays, beside the error.
  EXPECT_EQ(Cut["response"]["status"], 200) << Cut.dump(2);
  EXPECT_EQ(Cut["response"]["_error"], "Reply body larger than 3 bytes");
}

// A file that cannot be written: the run says so and ends with the write error when it had
// nothing worse to report.
TEST_F(CliHarTest, AnUnwritableFileIsAWriteError) {
  const TRunResult R =
      Cli({"--har", (Nginx->Scratch() / "no/such/folder/x.har").string(), "{nginx}/small.txt"});
  EXPECT_EQ(R.Status, 23) << R.Err;
  EXPECT_EQ(R.Out, "hello, orrery\n");
  EXPECT_NE(R.Err.find("orrery-cli: (23) "), std::string::npos) << R.Err;
}

// --har naming the reply's own file (-o's, or standard output's through /dev/stdout): the
// archive follows the body; a save by rename would have taken the body away.
TEST_F(CliHarTest, TheReplysOwnFileKeepsTheBody) {
  const std::string File = (Nginx->Scratch() / "both").string();
  const TRunResult R = Cli({"-s", "-o", File, "--har", File, "{nginx}/small.txt"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  const std::string Text = ReadBytes(File);
  ASSERT_EQ(Text.rfind("hello, orrery\n", 0), 0u) << Text.substr(0, 80);
  EXPECT_EQ(json::parse(Text.substr(14))["log"]["entries"].size(), 1u);
}

}  // namespace
