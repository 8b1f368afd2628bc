// The fixture of orrery-cli's program tests: a real nginx with a few files and redirections,
// a refused port, a silent one, room for a scripted peer, and the program run with its
// arguments' placeholders filled in.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/cli/ChildProcess.h"
#include "tests/cli/NginxServer.h"
#include "tests/support/LoopbackPeer.h"

namespace clitest {

using Strings = std::vector<std::string>;

inline const char* const Locations = R"(
    location = /r3 { return 302 /r2; }
    location = /r2 { return 302 /r1; }
    location = /r1 { return 302 /all-bytes.bin; }
    location = /loop { return 302 /loop; }
    location = /go { return 302 gopher://127.0.0.1/; }
    location = /tohttps { return 301 https://127.0.0.1:$server_port/; }
)";

// Every byte value, line ends and NULs included, many times over.
inline std::string AllBytes() {
  std::string S;
  for (int Round = 0; Round < 64; ++Round)
    for (int B = 0; B < 256; ++B) S += static_cast<char>(B);
  return S;
}

// Several MiB that no pattern of block sizes lines up with.
inline std::string LargeBytes() {
  std::string S(3 * 1024 * 1024 + 77, '\0');
  std::uint32_t X = 12345;
  for (char& C : S) {
    X = X * 1103515245u + 12345u;
    C = static_cast<char>(X >> 23);
  }
  return S;
}

// A loopback port held for the test: with Listen, connections complete in the backlog and
// never get a byte of reply; without, connecting there is refused.
class THeldPort {
 public:
  explicit THeldPort(bool Listen) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
        (Listen && ::listen(FFd, 8) != 0) ||
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
      throw std::runtime_error("cannot hold a port");
    FPort = ntohs(A.sin_port);
  }
  ~THeldPort() { ::close(FFd); }
  THeldPort(const THeldPort&) = delete;
  THeldPort& operator=(const THeldPort&) = delete;
  std::uint16_t Port() const { return FPort; }

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
};

class CliProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    Nginx = std::make_unique<TNginxServer>(Locations);
    Nginx->Serve("small.txt", "hello, orrery\n");
    Nginx->Serve("all-bytes.bin", AllBytes());
    Nginx->Serve("large.bin", LargeBytes());
    Nginx->Serve("empty.bin", "");
  }

  // Replaces {nginx} (base URL), {port} (nginx's port), {refused}, {silent}, {peer} and
  // {scratch} (a folder of the test's own) in Text.
  std::string Expand(std::string Text) const {
    const std::pair<std::string, std::string> Names[] = {
        {"{nginx}", Nginx->Url("")},
        {"{port}", std::to_string(Nginx->Port())},
        {"{refused}", std::to_string(Refused.Port())},
        {"{silent}", std::to_string(Silent.Port())},
        {"{peer}", std::to_string(PeerPort)},
        {"{scratch}", Nginx->Scratch().string()}};
    for (const auto& [Name, Value] : Names)
      for (auto At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At))
        Text.replace(At, Name.size(), Value);
    return Text;
  }

  TRunResult Cli(const Strings& Args, const TRunOptions& Options = TRunOptions()) const {
    Strings Argv{ORRERY_CLI_PATH};
    for (const std::string& A : Args) Argv.push_back(Expand(A));
    TRunResult R = RunProgram(Argv, Options);
    EXPECT_FALSE(R.Killed) << "orrery-cli overran its time";
    return R;
  }

  std::unique_ptr<TNginxServer> Nginx;
  THeldPort Refused{false};
  THeldPort Silent{true};
  std::uint16_t PeerPort = 0;
};

}  // namespace clitest
