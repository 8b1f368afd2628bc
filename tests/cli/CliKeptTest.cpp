// Several URLs in one command line over HTTP/1.1: beside Debian's curl against one nginx that
// keeps its connections, the same bodies, -w lines and exit status, connections reused as
// curl reuses them; then a scripted server that closes the kept connection as the second
// request arrives, where a GET goes again on a new connection and a POST ends with 52.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/cli/CliProgramFixture.h"
#include "tests/support/TScriptedPeer.h"

using clitest::CliProgramTest;
using clitest::ReadBytes;
using clitest::Strings;
using clitest::TRunResult;

namespace {

const char* const WriteOut = "[%{num_connects} %{http_version} %{http_code} %{exitcode}]";

class CliKeptTest : public CliProgramTest {
 protected:
  void SetUp() override {
    CliProgramTest::SetUp();
    if (!Nginx) return;
    // The fixture's nginx, with a location that closes after its reply.
    Nginx = std::make_unique<clitest::TNginxServer>(
        std::string(clitest::Locations) +
        "    location = /close { keepalive_timeout 0; return 200 \"closed\\n\"; }\n");
    Nginx->Serve("small.txt", "hello, orrery\n");
    Nginx->Serve("all-bytes.bin", clitest::AllBytes());
  }
};

struct CurlCase {
  const char* Name;
  Strings Args;
  int Status;
  const char* Connects;  // each transfer's num_connects, in order
};

class CliBesideCurlTest : public CliKeptTest, public ::testing::WithParamInterface<CurlCase> {};

TEST_P(CliBesideCurlTest, SameAsCurl) {
  if (::access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is not installed";
  const CurlCase& C = GetParam();
  Strings Args{"-s", "-w", WriteOut};
  Args.insert(Args.end(), C.Args.begin(), C.Args.end());
  const TRunResult Ours = Cli(Args);
  const std::string OurFile = ReadBytes(Expand("{scratch}/out"));
  Strings Curl{"/usr/bin/curl"};
  for (const std::string& A : Args) Curl.push_back(Expand(A));
  const TRunResult Theirs = clitest::RunProgram(Curl);
  EXPECT_EQ(std::pair(Ours.Status, Theirs.Status), std::pair(C.Status, C.Status)) << Ours.Err;
  EXPECT_EQ(Ours.Out, Theirs.Out);
  EXPECT_EQ(OurFile, ReadBytes(Expand("{scratch}/out")));
  std::string Connects;
  const std::regex Line(R"(\[([0-9]+) (?:1\.[01]|0) [0-9]{3} [0-9]+\])");
  for (std::sregex_iterator It(Ours.Out.begin(), Ours.Out.end(), Line), End; It != End; ++It)
    Connects += (Connects.empty() ? "" : " ") + (*It)[1].str();
  EXPECT_EQ(Connects, C.Connects) << Ours.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliBesideCurlTest,
    ::testing::Values(
        CurlCase{
            "OneServerOneConnection", {"{nginx}/small.txt", "{nginx}/all-bytes.bin"}, 0, "1 0"},
        CurlCase{"ServerCloses", {"{nginx}/close", "{nginx}/small.txt"}, 0, "1 1"},
        CurlCase{"OutputsInOrder",
                 {"-o", "{scratch}/out", "{nginx}/all-bytes.bin", "{nginx}/small.txt"},
                 0,
                 "1 0"},
        // The status is the last transfer's.
        CurlCase{"FirstRefused", {"http://127.0.0.1:{refused}/", "{nginx}/small.txt"}, 0, "0 1"},
        CurlCase{"LastRefused", {"{nginx}/small.txt", "http://127.0.0.1:{refused}/"}, 7, "1 0"},
        CurlCase{"FailFirst", {"-f", "{nginx}/missing", "{nginx}/small.txt"}, 0, "1 1"},
        CurlCase{"FailLast", {"-f", "{nginx}/small.txt", "{nginx}/missing"}, 22, "1 0"},
        CurlCase{
            "FailThenRefused", {"-f", "{nginx}/missing", "http://127.0.0.1:{refused}/"}, 7, "1 0"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// --- A kept connection the server closed ---------------------------------------------------

struct ClosedCase {
  const char* Name;
  Strings Args;  // before the two URLs
  std::vector<testsupport::TConnectionScript> Script;
  int Status;
  const char* Out;
  const char* InErr;
};

class CliKeptClosedTest : public CliProgramTest,
                          public ::testing::WithParamInterface<ClosedCase> {};

TEST_P(CliKeptClosedTest, ResentOnlyWhenItMay) {
  const ClosedCase& C = GetParam();
  testsupport::TScriptedPeer Peer(C.Script);
  PeerPort = Peer.Port();
  Strings Args{"-v", "-w", "[%{num_connects}]"};
  Args.insert(Args.end(), C.Args.begin(), C.Args.end());
  Args.insert(Args.end(), {"http://127.0.0.1:{peer}/a", "http://127.0.0.1:{peer}/b"});
  const std::string Har = Expand("{scratch}/run.har");
  Args.insert(Args.begin(), {"--har", Har});
  const TRunResult R = Cli(Args);
  EXPECT_EQ(R.Status, C.Status) << R.Err;
  EXPECT_EQ(R.Out, C.Out);
  EXPECT_NE(R.Err.find(C.InErr), std::string::npos) << R.Err;
  EXPECT_EQ(Peer.Accepted(), static_cast<int>(C.Script.size()));
  // One archive for both transfers: the second's pass on the connection it ended on.
  const auto Entries = nlohmann::json::parse(ReadBytes(Har))["log"]["entries"];
  ASSERT_EQ(Entries.size(), 2u);
  EXPECT_EQ(Entries[1].value("connection", "-"), C.Script.size() == 2 ? "1" : "0");
}

using namespace testsupport::steps;
const char* const First = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nA";
const char* const Second = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nB";

INSTANTIATE_TEST_SUITE_P(
    Table, CliKeptClosedTest,
    ::testing::Values(
        ClosedCase{"GetGoesAgain",
                   {},
                   {{ReadRequest(), Send(First), ReadRequest()}, Answer(Second)},
                   0,
                   "A[1]B[1]",
                   "Connection died, retrying a fresh connect"},
        ClosedCase{"PostDoesNot",
                   {"-d", "x=1"},
                   {{ReadRequest(), Send(First), ReadRequest()}},
                   52,
                   "A[1][0]",
                   "orrery-cli: (52) Empty reply from server: connection #0 was closed by the "
                   "server before the reply, and a POST is not sent twice"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A body from standard input goes to every URL: it is read once, as curl reads it.
TEST_F(CliProgramTest, StandardInputBodyGoesToEveryUrl) {
  testsupport::TScriptedPeer Peer({{ReadRequest(), Send(First), ReadRequest(), Send(Second)}});
  const std::string Url = "http://127.0.0.1:" + std::to_string(Peer.Port());
  const TRunResult R = clitest::RunProgram(
      {"/bin/sh", "-c", "printf abc | \"$0\" -s -d @- \"$1/a\" \"$1/b\"", ORRERY_CLI_PATH, Url});
  EXPECT_EQ(R.Out, "AB") << R.Err;
  ASSERT_EQ(Peer.Requests().size(), 2u);
  for (const std::string& Request : Peer.Requests())
    EXPECT_TRUE(Request.ends_with("\r\n\r\nabc")) << Request;
}

}  // namespace
