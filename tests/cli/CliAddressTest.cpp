// orrery-cli's addresses against one nginx listening on [::1] beside 127.0.0.1: IPv6 URLs and
// proxies, -4 and -6, --resolve lists, -w's addresses and -v's attempts, each row beside
// Debian's curl with the same options; then an IPv6 address that never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/cli/ChildProcess.h"
#include "tests/cli/NginxServer.h"
#include "tests/support/LoopbackPeer.h"

namespace {

using Strings = std::vector<std::string>;
using clitest::RunProgram;
using clitest::TRunResult;
const char* const CurlPath = "/usr/bin/curl";
bool HaveCurl() { return ::access(CurlPath, X_OK) == 0; }

// {port} is nginx's (both families), {dead} a port nothing listens on.
TRunResult RunBoth(const std::string& Program, const Strings& Args, std::uint16_t Port,
               std::uint16_t Dead) {
  Strings Argv{Program, "-sSv", "-o", "/dev/null", "-w", "%{remote_ip} %{local_ip} %{http_code} %{local_port}"};
  if (Program == CurlPath) Argv.push_back("-0");
  for (std::string A : Args) {
    for (const auto& [Key, Value] : {std::pair{"{port}", Port}, {"{dead}", Dead}})
      for (auto At = A.find(Key); At != std::string::npos; At = A.find(Key))
        A.replace(At, std::string(Key).size(), std::to_string(Value));
    Argv.push_back(A);
  }
  return RunProgram(Argv);
}

class CliAddressTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Nginx = new clitest::TNginxServer("", true);
    Nginx->Serve("index.html", "home\n");
  }
  static void TearDownTestSuite() {
    delete Nginx;
    Nginx = nullptr;
  }
  static inline clitest::TNginxServer* Nginx = nullptr;
};

TEST_F(CliAddressTest, FamiliesAndListsGiveCurlsStatusAndAddresses) {
  struct Row {
    const char* Name;
    Strings Args;
    int Status;
    const char* Out;    // -w's remote_ip, local_ip and http_code (then local_port)
    Strings Trace = {};  // lines -v writes, {port} and {dead} read as in Args
  };
  const Row Rows[] = {
      {"IPv6 literal", {"http://[::1]:{port}/"}, 0, "::1 ::1 200"},
      {"a list", {"--resolve", "x.invalid:{port}:[::1],127.0.0.1", "http://x.invalid:{port}/"},
       0, "::1 ::1 200", {"]   Trying [::1]:{port}...\n", "] Connected to x.invalid (::1) port {port}"}},
      {"-4 with a list", {"-4", "--resolve", "x.invalid:{port}:[::1],127.0.0.1",
                          "http://x.invalid:{port}/"}, 0, "127.0.0.1 127.0.0.1 200"},
      {"-6 with a bare IPv6", {"-6", "--resolve", "x.invalid:{port}:::1,127.0.0.1",
                               "http://x.invalid:{port}/"}, 0, "::1 ::1 200"},
      {"IPv6 proxy", {"-x", "[::1]:{port}", "http://x.invalid/"}, 0, "::1 ::1 200"},
      {"--connect-to an IPv6 address", {"--connect-to", "x.invalid:80:[::1]:{port}",
                                        "http://x.invalid/"}, 0, "::1 ::1 200"},
      {"--connect-to from an IPv6 address",
       {"--connect-to", "[::1]:{dead}:127.0.0.1:{port}", "http://[::1]:{dead}/"}, 0,
       "127.0.0.1 127.0.0.1 200"},
      {"-4 to an IPv6 literal", {"-4", "http://[::1]:{port}/"}, 7, ""},
      {"-6 to an IPv4 literal", {"-6", "http://127.0.0.1:{port}/"}, 7, ""},
      {"-4, only IPv6 given", {"-4", "--resolve", "x.invalid:{port}:[::1]", "http://x.invalid:{port}/"},
       6, ""},
      {"every address refused", {"--resolve", "x.invalid:{dead}:[::1],127.0.0.1",
                                 "http://x.invalid:{dead}/"}, 7, "",
       {"]   Trying [::1]:{dead}...", "] connect to ::1 port {dead} failed: Connection refused",
        "]   Trying 127.0.0.1:{dead}..."}},
  };
  const std::uint16_t Dead = testsupport::RefusingPort();
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    const TRunResult Ours = RunBoth(ORRERY_CLI_PATH, R.Args, Nginx->Port(), Dead);
    EXPECT_EQ(Ours.Status, R.Status) << Ours.Err;
    for (std::string Line : R.Trace) {
      for (const auto& [Key, Value] : {std::pair{"{port}", Nginx->Port()}, {"{dead}", Dead}})
        if (const auto At = Line.find(Key); At != std::string::npos)
          Line.replace(At, std::string(Key).size(), std::to_string(Value));
      EXPECT_NE(Ours.Err.find(Line), std::string::npos) << Line << "\n" << Ours.Err;
    }
    const auto Shown = [](const std::string& Out) { return Out.substr(0, Out.rfind(' ')); };
    if (R.Status == 0) {
      EXPECT_EQ(Shown(Ours.Out), R.Out);
      const auto Last = Ours.Out.rfind(' ');
      EXPECT_TRUE(Last != std::string::npos && std::atoi(Ours.Out.c_str() + Last) > 0) << Ours.Out;
    }
    if (HaveCurl()) {
      const TRunResult Curl = RunBoth(CurlPath, R.Args, Nginx->Port(), Dead);
      EXPECT_EQ(Curl.Status, R.Status) << "curl: " << Curl.Err;
      if (R.Status == 0) {
        EXPECT_EQ(Shown(Curl.Out), Shown(Ours.Out));
      }
    }
  }
}

// Closes its descriptor however the test ends.
struct TFd {
  const int Fd;
  ~TFd() { ::close(Fd); }
};

TEST_F(CliAddressTest, BlackHoledIpv6AddressLosesToIpv4) {
  // An IPv6 listener whose queue a first connection fills: later SYNs are dropped and their
  // connects hang, as to a black-holed address. nginx serves the same port on 127.0.0.1.
  clitest::TNginxServer Four("");
  const TFd Hole{::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  const int One = 1;
  ::setsockopt(Hole.Fd, IPPROTO_IPV6, IPV6_V6ONLY, &One, sizeof One);
  sockaddr_in6 A{};
  A.sin6_family = AF_INET6;
  A.sin6_addr = in6addr_loopback;
  A.sin6_port = htons(Four.Port());
  ASSERT_EQ(::bind(Hole.Fd, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(::listen(Hole.Fd, 0), 0);
  const TFd Filler{::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  ASSERT_EQ(::connect(Filler.Fd, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  const std::string Port = std::to_string(Four.Port());
  for (const char* Program : {ORRERY_CLI_PATH, CurlPath}) {
    if (Program == CurlPath && !HaveCurl()) continue;
    SCOPED_TRACE(Program);
    const TRunResult R = RunProgram({Program, "-sSv", "-m", "20", "-o", "/dev/null", "-w",
                                     "%{remote_ip}", "--resolve",
                                     "x.invalid:" + Port + ":[::1],127.0.0.1",
                                     "http://x.invalid:" + Port + "/"});
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "127.0.0.1");
    // ::1 was tried first, and lost only to its silence.
    const auto Ipv6At = R.Err.find("Trying [::1]:" + Port);
    const auto Ipv4At = R.Err.find("Trying 127.0.0.1:" + Port);
    EXPECT_TRUE(Ipv6At != std::string::npos && Ipv4At != std::string::npos && Ipv6At < Ipv4At)
        << R.Err;
  }
}

}  // namespace
