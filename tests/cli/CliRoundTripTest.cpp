// The window's "copy as command" and orrery-cli meet here: a request orrery-cli sent is
// rendered as an orrery-cli command by the inspect layer, the command is run by a shell, and
// the request it sends must be the first one: the same request line, header lines and body.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "inspect/TCommandRenderer.h"
#include "tests/cli/CliProgramFixture.h"

using clitest::CliProgramTest;
using clitest::RunProgram;
using clitest::Strings;
using clitest::TRunResult;

namespace {

// A request with its header lines in order of their text: fields of different names may come
// in any order (RFC 9110, 5.3), and lines given with -H come after those the component
// composes where the first request had them among them.
std::string Normalised(const std::string& Request) {
  const auto End = Request.find("\r\n\r\n");
  const auto First = Request.find("\r\n");
  std::vector<std::string> Lines;
  for (std::size_t From = First + 2; From < End;) {
    const auto Next = Request.find("\r\n", From);
    Lines.push_back(Request.substr(From, Next - From));
    From = Next + 2;
  }
  std::sort(Lines.begin(), Lines.end());
  std::string Text = Request.substr(0, First) + "\n";
  for (const std::string& L : Lines) Text += L + "\n";
  return Text + "\n" + Request.substr(End + 4);
}

struct RoundTripCase {
  const char* Name;
  Strings Args;           // before the URL
  std::string Path;       // on the peer, or the whole URL when it has a scheme
  bool ViaProxy = false;  // the peer is the proxy (-x given in Args)
};

class CliRoundTripTest : public CliProgramTest,
                         public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(CliRoundTripTest, RenderedCommandSendsTheSameRequest) {
  const RoundTripCase& C = GetParam();
  std::mutex Lock;
  std::vector<std::string> Requests;
  testsupport::LoopbackPeer Peer(
      [&](int Fd) {
        std::string Got = testsupport::ReadHttpRequest(Fd);
        {
          std::lock_guard<std::mutex> Hold(Lock);
          Requests.push_back(std::move(Got));
        }
        testsupport::SendAll(Fd, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      },
      2);
  PeerPort = Peer.Port();
  const std::string URL =
      C.Path.find("://") != std::string::npos ? C.Path : Expand("http://127.0.0.1:{peer}" + C.Path);
  Strings Args = C.Args;
  Args.push_back(URL);
  const TRunResult First = Cli(Args);
  ASSERT_EQ(First.Status, 0) << First.Err;
  std::string Sent;
  {
    std::lock_guard<std::mutex> Hold(Lock);
    ASSERT_EQ(Requests.size(), 1u);
    Sent = Requests[0];
  }

  TExchangePass Pass;
  const auto HeaderEnd = Sent.find("\r\n\r\n") + 4;
  Pass.Method = Sent.substr(0, Sent.find(' '));
  Pass.URL = URL;
  Pass.RequestHeader = Sent.substr(0, HeaderEnd);
  Pass.RequestBody = Sent.substr(HeaderEnd);
  Pass.RequestBodySize = static_cast<std::int64_t>(Pass.RequestBody.size());
  if (C.ViaProxy) {
    Pass.Proxy = "127.0.0.1";
    Pass.ProxyPort = PeerPort;
  }
  for (std::size_t I = 0; I + 1 < Args.size(); ++I)
    if (Args[I] == "--target") Pass.TargetURI = Args[I + 1];
  std::string Command = TCommandRenderer::OrreryCli(Pass);
  const auto At = Command.find("orrery-cli ");
  ASSERT_NE(At, std::string::npos) << Command;
  Command.replace(At, 10, TCommandRenderer::ShellQuote(ORRERY_CLI_PATH));

  const TRunResult Again = RunProgram({"/bin/sh", "-c", Command});
  EXPECT_EQ(Again.Status, 0) << Command << "\n" << Again.Err;
  std::lock_guard<std::mutex> Hold(Lock);
  ASSERT_EQ(Requests.size(), 2u) << Command;
  EXPECT_EQ(Normalised(Requests[1]), Normalised(Sent)) << Command;
}

// clang-format off: one request a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliRoundTripTest,
    ::testing::Values(
        RoundTripCase{"PlainGet", {}, "/p?q=1"},
        RoundTripCase{"HeaderValues",
                      {"-A", "Probe 1", "-e", "http://r/", "-b", "k=v; it's", "-u", "ann:se cret"},
                      "/p"},
        RoundTripCase{"PostForm", {"-d", "a=1&b=2 c"}, "/form"},
        RoundTripCase{"PostUrlEncoded", {"--data-urlencode", "a b=c&d"}, "/form"},
        RoundTripCase{
            "PutBinary", {"-X", "PUT", "--data-binary", "@{scratch}/html/all-bytes.bin"}, "/b"},
        RoundTripCase{"PostAtSign", {"--data-raw", "@/etc/passwd"}, "/f"},
        RoundTripCase{"EmptyPatch", {"-X", "PATCH", "-d", ""}, "/e"},
        RoundTripCase{"Head", {"-I"}, "/h"},
        RoundTripCase{"Copy", {"-X", "COPY", "--target", "/dest x"}, "/src"},
        RoundTripCase{"UnLink", {"-X", "UNLINK", "--target", "<http://l/>; rel=x"}, "/src"},
        RoundTripCase{
            "LinesAddedAndRemoved",
            {"-H", "Accept:", "-H", "X-Quote: it's \"so\"", "-H", "Content-type: text/plain"},
            "/h"},
        RoundTripCase{"OtherHost", {"-X", "OPTIONS", "-H", "Host: other.test"}, "/o"},
        RoundTripCase{
            "ThroughProxy", {"-x", "127.0.0.1:{peer}"}, "http://example.invalid:8080/x?y", true}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

}  // namespace
