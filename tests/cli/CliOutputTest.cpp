// Where orrery-cli's output goes and when: the body streamed as it arrives, only the last
// reply's body with -L, each header block with -i as it comes (kept when a later hop fails),
// and curl's write error, 23, for a closed pipe or a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "tests/cli/CliProgramFixture.h"

using clitest::CliProgramTest;
using clitest::ReadBytes;
using clitest::Strings;
using clitest::TRunOptions;
using clitest::TRunResult;

namespace {

// A peer that answers each request by its path, from a table; "{peer}" and "{refused}" in a
// reply are filled in by the test.
class TScriptedSite {
 public:
  TScriptedSite(std::map<std::string, std::string> Replies, int Connections)
      : FReplies(std::move(Replies)), FPeer([this](int Fd) { Answer(Fd); }, Connections) {}
  std::uint16_t Port() const { return FPeer.Port(); }
  void Fill(const std::function<std::string(const std::string&)>& Expand) {
    std::lock_guard<std::mutex> Hold(FLock);
    for (auto& [Path, Reply] : FReplies) Reply = Expand(Reply);
  }
  bool Finished() { return FPeer.Finished.Wait(); }

 private:
  void Answer(int Fd) {
    const std::string Request = testsupport::ReadHttpRequest(Fd);
    const auto Space = Request.find(' ');
    const std::string Path = Request.substr(Space + 1, Request.find(' ', Space + 1) - Space - 1);
    std::string Reply;
    {
      std::lock_guard<std::mutex> Hold(FLock);
      const auto It = FReplies.find(Path);
      Reply = It == FReplies.end() ? "HTTP/1.0 404 Not Found\r\n\r\nnone" : It->second;
    }
    testsupport::SendAll(Fd, Reply);
  }

  std::mutex FLock;
  std::map<std::string, std::string> FReplies;
  testsupport::LoopbackPeer FPeer;
};

const std::map<std::string, std::string> Site = {
    {"/first", "HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\nREDIRECT BODY 1"},
    {"/second", "HTTP/1.0 301 Moved\r\nLocation: http://localhost:{peer}/last\r\n\r\nREDIRECT 2"},
    {"/last", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfinal body"},
    {"/gone", "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:{refused}/x\r\n\r\nbye"},
    {"/missing", "HTTP/1.0 404 Not Found\r\n\r\nnot here"},
    {"/continued", "HTTP/1.1 100 Continue\r\nContent-Type: text/x-interim\r\n\r\n"
                   "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\npage"},
};

struct OutputCase {
  const char* Name;
  Strings Args;
  int Connections;  // the site serves this many
  int Status;
  std::string Out;  // the whole of standard output
};

class CliOutputTest : public CliProgramTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(CliOutputTest, WritesWhatCurlWrites) {
  const OutputCase& C = GetParam();
  TScriptedSite Peer(Site, C.Connections);
  PeerPort = Peer.Port();
  Peer.Fill([this](const std::string& S) { return Expand(S); });
  const TRunResult R = Cli(C.Args);
  EXPECT_TRUE(Peer.Finished());
  EXPECT_EQ(R.Status, C.Status) << R.Err;
  EXPECT_EQ(R.Out, Expand(C.Out));
}

// clang-format off: one case a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliOutputTest,
    ::testing::Values(
        OutputCase{
            "FirstReplyWithoutL", {"http://127.0.0.1:{peer}/first"}, 1, 0, "REDIRECT BODY 1"},
        OutputCase{
            "LastBodyOnlyWithL", {"-L", "http://127.0.0.1:{peer}/first"}, 3, 0, "final body"},
        OutputCase{"EveryHeaderWithIL",
                   {"-iL", "http://127.0.0.1:{peer}/first"},
                   3,
                   0,
                   "HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\n"
                   "HTTP/1.0 301 Moved\r\nLocation: http://localhost:{peer}/last\r\n\r\n"
                   "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfinal body"},
        OutputCase{"HeadersOnlyWithIL",
                   {"-IL", "http://127.0.0.1:{peer}/first"},
                   3,
                   0,
                   "HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\n"
                   "HTTP/1.0 301 Moved\r\nLocation: http://localhost:{peer}/last\r\n\r\n"
                   "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"},
        // The earlier hops' header blocks stay written when a later hop fails.
        OutputCase{"HeadersKeptWhenALaterHopFails",
                   {"-iL", "http://127.0.0.1:{peer}/gone"},
                   1,
                   7,
                   "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:{refused}/x\r\n\r\n"},
        OutputCase{"TooManyRedirectionsWritesNoBody",
                   {"-L", "--max-redirs", "1", "http://127.0.0.1:{peer}/first"},
                   2,
                   47,
                   ""},
        OutputCase{"TooManyRedirectionsKeepsHeaders",
                   {"-iL", "--max-redirs", "1", "http://127.0.0.1:{peer}/first"},
                   2,
                   47,
                   "HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\n"
                   "HTTP/1.0 301 Moved\r\nLocation: http://localhost:{peer}/last\r\n\r\n"},
        OutputCase{"FailWritesNoBody", {"-f", "http://127.0.0.1:{peer}/missing"}, 1, 22, ""},
        OutputCase{"FailWritesTheHeaderOnly",
                   {"-fi", "http://127.0.0.1:{peer}/missing"},
                   1,
                   22,
                   "HTTP/1.0 404 Not Found\r\n\r\n"},
        OutputCase{"NoFailWritesTheErrorPage",
                   {"-i", "http://127.0.0.1:{peer}/missing"},
                   1,
                   0,
                   "HTTP/1.0 404 Not Found\r\n\r\nnot here"},
        OutputCase{"WriteOutAfterTheBody",
                   {"-L", "-w",
                    "\\n%{http_code} %{num_redirects} %{url_effective} %{method} "
                    "%{size_download} %{exitcode} %{content_type}",
                    "http://127.0.0.1:{peer}/first"},
                   3,
                   0,
                   "final body\n200 2 http://localhost:{peer}/last GET 10 0 text/plain"},
        // The type is the final reply's, not an interim reply's before it.
        OutputCase{"WriteOutTypeOfTheFinalReply",
                   {"-w", " %{http_code} %{content_type}", "http://127.0.0.1:{peer}/continued"},
                   1,
                   0,
                   "page 200 text/html"},
        OutputCase{"WriteOutOfAFailure",
                   {"-L", "-w", "%{http_code} %{num_redirects} %{exitcode} [%{errormsg}]",
                    "http://127.0.0.1:{peer}/gone"},
                   1,
                   7,
                   "302 1 7 [could not connect to 127.0.0.1 port {refused} (Connection Failed)]"}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

// --- -w times ----------------------------------------------------------------------------

// The six times of -w against real exchanges: seconds with six decimals on the first pass's
// clock, in the order of the stages, time_redirect before the last pass, and 0 for a stage a
// failed run did not reach.
TEST_F(CliProgramTest, WriteOutTimesFollowTheStages) {
  struct Row {
    Strings Args;
    int Status;
    bool Connected;
    bool Replied;
    bool Redirected;
    bool SlowFile = false;  // -o names a FIFO whose reader comes a second late: a slow disk
  };
  const Row Rows[] = {
      {{"{nginx}/small.txt"}, 0, true, true, false},
      {{"http://localhost:{port}/small.txt"}, 0, true, true, false},
      // Each pass on a connection of its own, so that every stage is the last pass's (over a
      // kept one the connection's times are the first pass's, as curl's).
      {{"-0", "-L", "{nginx}/r3"}, 0, true, true, true},
      {{"http://127.0.0.1:{refused}/"}, 7, false, false, false},
      {{"-m", "0.3", "http://127.0.0.1:{silent}/"}, 28, true, false, false},
      {{"-o", "{scratch}/slow", "{nginx}/empty.bin"}, 0, true, true, false, true},
  };
  const std::regex Format(R"(([0-9]+\.[0-9]{6}) ?)");
  for (const Row& Each : Rows) {
    Strings Args = {"-s", "-o", "/dev/null", "-w",
                    "%{time_namelookup} %{time_connect} %{time_pretransfer} "
                    "%{time_starttransfer} %{time_redirect} %{time_total}"};
    Args.insert(Args.end(), Each.Args.begin(), Each.Args.end());
    std::thread Late;
    if (Each.SlowFile) {
      ASSERT_EQ(::mkfifo(Expand("{scratch}/slow").c_str(), 0600), 0);
      Late = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the slowness, not a wait
        ::close(::open(Expand("{scratch}/slow").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      });
    }
    const TRunResult R = Cli(Args);
    if (Late.joinable()) Late.join();
    const std::string Where = Each.Args.back();
    EXPECT_EQ(R.Status, Each.Status) << Where << R.Err;
    std::vector<double> T;
    for (std::sregex_iterator It(R.Out.begin(), R.Out.end(), Format), End; It != End; ++It)
      T.push_back(std::stod((*It)[1]));
    ASSERT_EQ(T.size(), 6u) << Where << ": " << R.Out;
    const double Lookup = T[0], Connect = T[1], Pre = T[2], Start = T[3], Redirect = T[4],
                 Total = T[5];
    EXPECT_GT(Total, 0) << Where;
    EXPECT_TRUE(!Each.SlowFile || Total < 0.5) << "the time to open the file counted";
    EXPECT_EQ(Connect > 0, Each.Connected) << Where << ": " << R.Out;
    // A dotted address needs no look-up: it is done when its pass starts.
    if (Where.find("localhost") != std::string::npos) {
      EXPECT_GT(Lookup, 0) << Where;
    }
    EXPECT_EQ(Start > 0, Each.Replied) << Where << ": " << R.Out;
    EXPECT_EQ(Redirect > 0, Each.Redirected) << Where << ": " << R.Out;
    if (Each.Connected) {
      EXPECT_LE(Redirect, Lookup) << Where;
      EXPECT_LE(Lookup, Connect) << Where;
      EXPECT_LE(Connect, Pre) << Where;
      EXPECT_LE(Pre, Total) << Where;
    }
    if (Each.Replied) {
      EXPECT_LE(Pre, Start) << Where;
      EXPECT_LE(Start, Total) << Where;
    }
  }
}

// --- Streaming -----------------------------------------------------------------------------

struct StreamCase {
  const char* Name;
  Strings Args;
  const char* Seen;      // what must reach standard output while the server holds the rest
  const char* Expected;  // the whole of standard output
};

class CliStreamTest : public CliProgramTest, public ::testing::WithParamInterface<StreamCase> {};

// The server sends its header and a first block, then waits until the test has seen that
// block on orrery-cli's standard output before it sends the rest: the order of the events
// shows the streaming, whatever the machine's speed.
TEST_P(CliStreamTest, FirstBlockGoesOutBeforeTheRestComes) {
  const StreamCase& C = GetParam();
  testsupport::Gate Seen;
  std::atomic<bool> SeenFirst{false};
  testsupport::LoopbackPeer Peer(
      [&](int Fd) {
        const std::string Request = testsupport::ReadHttpRequest(Fd);
        if (Request.rfind("GET /moved ", 0) == 0) {
          testsupport::SendAll(Fd, "HTTP/1.0 302 Found\r\nLocation: /held\r\n\r\nmoved");
          return;
        }
        testsupport::SendAll(Fd, "HTTP/1.0 200 OK\r\nContent-Length: 22\r\n\r\nfirst block;");
        SeenFirst = Seen.Wait(std::chrono::seconds(10));
        testsupport::SendAll(Fd, "the rest.!");
      },
      2);
  PeerPort = Peer.Port();
  TRunOptions Options;
  Options.OnOut = [&](const std::string& Out) {
    if (Out.find(C.Seen) != std::string::npos) Seen.Open();
  };
  const TRunResult R = Cli(C.Args, Options);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(SeenFirst) << "the first block was held back until the server sent the rest";
  EXPECT_EQ(R.Out, C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliStreamTest,
    ::testing::Values(
        StreamCase{
            "Body", {"http://127.0.0.1:{peer}/held"}, "first block;", "first block;the rest.!"},
        StreamCase{"HeaderThenBody",
                   {"-i", "http://127.0.0.1:{peer}/held"},
                   "first block;",
                   "HTTP/1.0 200 OK\r\nContent-Length: 22\r\n\r\nfirst block;the rest.!"},
        StreamCase{"AfterARedirection",
                   {"-L", "http://127.0.0.1:{peer}/moved"},
                   "first block;",
                   "first block;the rest.!"},
        // With -i the header block goes out as soon as it is read, before any of the body.
        StreamCase{"HeaderAlone",
                   {"-i", "-w", "", "http://127.0.0.1:{peer}/held"},
                   "\r\n\r\n",
                   "HTTP/1.0 200 OK\r\nContent-Length: 22\r\n\r\nfirst block;the rest.!"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// --- Write errors --------------------------------------------------------------------------

struct WriteErrorCase {
  const char* Name;
  Strings Args;
  bool CloseStdout;
  const char* Out;  // the whole of standard output, when it is open
};

class CliWriteErrorTest : public CliProgramTest,
                          public ::testing::WithParamInterface<WriteErrorCase> {};

TEST_P(CliWriteErrorTest, EndsWithStatus23) {
  const WriteErrorCase& C = GetParam();
  TRunOptions Options;
  Options.CloseStdout = C.CloseStdout;
  const TRunResult R = Cli(C.Args, Options);
  EXPECT_EQ(R.Status, 23) << R.Err;
  EXPECT_NE(R.Err.find("orrery-cli: (23) "), std::string::npos) << R.Err;
  // One message, not one per block.
  EXPECT_EQ(R.Err.find('\n'), R.Err.size() - 1) << R.Err;
  EXPECT_EQ(R.Out, C.Out);
}

// clang-format off: one case a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliWriteErrorTest,
    ::testing::Values(
        WriteErrorCase{"ClosedPipe", {"{nginx}/large.bin"}, true, ""},
        WriteErrorCase{"ClosedPipeSmall", {"{nginx}/small.txt"}, true, ""},
        WriteErrorCase{"ClosedPipeHeader", {"-I", "{nginx}/small.txt"}, true, ""},
        WriteErrorCase{
            "ClosedPipeWithWriteOut", {"-w", "%{http_code}", "{nginx}/large.bin"}, true, ""},
        WriteErrorCase{"FullDisk", {"-o", "/dev/full", "{nginx}/large.bin"}, false, ""},
        WriteErrorCase{"FullDiskSmall", {"-i", "-o", "/dev/full", "{nginx}/small.txt"}, false, ""},
        // -w goes to standard output, which is still open.
        WriteErrorCase{"FullDiskWithWriteOut",
                       {"-o", "/dev/full", "-w", "%{exitcode} %{http_code}", "{nginx}/large.bin"},
                       false,
                       "23 200"},
        WriteErrorCase{
            "NoSuchFolder", {"-o", "{scratch}/no/such/out", "{nginx}/small.txt"}, false, ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

// --- Files ---------------------------------------------------------------------------------

TEST_F(CliProgramTest, OutputFileOnlyForAResultWorthWriting) {
  const auto File = Nginx->Scratch() / "out.html";
  struct Row {
    Strings Args;
    int Status;
    bool Made;
    const char* Bytes;
  };
  const Row Rows[] = {
      {{"-f", "-o", File.string(), "{nginx}/missing"}, 22, false, ""},
      {{"-o", File.string(), "http://127.0.0.1:{refused}/"}, 7, false, ""},
      {{"-o", File.string(), "{nginx}/empty.bin"}, 0, true, ""},
      {{"-o", File.string(), "{nginx}/small.txt"}, 0, true, "hello, orrery\n"},
      {{"-i", "-o", File.string(), "-I", "{nginx}/small.txt"}, 0, true, "HTTP/1.1 200 OK\r\n"},
  };
  for (const Row& Each : Rows) {
    std::filesystem::remove(File);
    const TRunResult R = Cli(Each.Args);
    EXPECT_EQ(R.Status, Each.Status) << Each.Args[Each.Args.size() - 1] << R.Err;
    EXPECT_EQ(std::filesystem::exists(File), Each.Made) << Each.Args[Each.Args.size() - 1];
    if (Each.Made) {
      EXPECT_EQ(ReadBytes(File).rfind(Each.Bytes, 0), 0u) << ReadBytes(File);
    }
    EXPECT_EQ(R.Out, "");
  }
}

}  // namespace
