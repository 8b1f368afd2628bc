// curl against the test PKI's nginx servers: each server is up with the certificate it should
// have, and curl's exit status on each is the one Orrery's command line is to match.
#include <gtest/gtest.h>

#include "tests/cli/ChildProcess.h"
#include "tests/support/TlsServers.h"

namespace {

using testsupport::TTestPki;
using testsupport::TTlsServers;

struct TCurlCase {
  std::string Host;
  std::uint16_t TTlsServers::*Port;
  std::vector<std::string> Options;
  int Status;
  std::string Body;  // the start of what curl writes
};

// clang-format off
const TCurlCase CurlCases[] = {
    {"good.test", &TTlsServers::Port, {}, 0, "good.test\n"},
    {"a.wild.test", &TTlsServers::Port, {}, 0, "a.wild.test\n"},
    {"127.0.0.1", &TTlsServers::IpPort, {}, 0, "127.0.0.1\n"},
    {"expired.test", &TTlsServers::Port, {}, 60, ""},
    {"wrong.test", &TTlsServers::Port, {}, 60, ""},
    {"leafonly.test", &TTlsServers::Port, {}, 60, ""},
    {"rsa1024.test", &TTlsServers::Port, {}, 60, ""},
    {"sha1.test", &TTlsServers::Port, {"-k"}, 0, "sha1.test\n"},
    {"good.test", &TTlsServers::Tls12Port, {"--tlsv1.3"}, 35, ""},
    {"good.test", &TTlsServers::Tls13Port, {"--tls-max", "1.2"}, 35, ""},
    {"good.test", &TTlsServers::ClientCertPort, {}, 0, "<html>\r\n<head><title>400 No required SSL"},
    {"good.test", &TTlsServers::ClientCertPort, {"-f"}, 22, ""},
};
// clang-format on

TEST(TlsServersTest, CurlGivesEachServerItsStatus) {
  const TTlsServers Servers;
  if (!Servers.Ok()) GTEST_SKIP() << "nginx did not start: " << Servers.ErrorLog();
  const TTestPki& Pki = TTestPki::Get();
  std::vector<TCurlCase> Cases(std::begin(CurlCases), std::end(CurlCases));
  // The client certificate with its key encrypted, opened with the passphrase.
  const std::vector<std::string> Encrypted = {
      "--cert", Pki.Client.Cert, "--key", Pki.ClientKeyEncrypted, "--pass", Pki.ClientPassphrase};
  Cases.push_back({"good.test", &TTlsServers::ClientCertPort, Encrypted, 0, "good.test\n"});
  for (const TCurlCase& Case : Cases) {
    const std::string Port = std::to_string(Servers.*Case.Port);
    std::vector<std::string> Argv = {"/usr/bin/curl", "-sS", "--cacert", Pki.RootFile};
    Argv.insert(Argv.end(), {"--resolve", Case.Host + ":" + Port + ":127.0.0.1"});
    Argv.insert(Argv.end(), Case.Options.begin(), Case.Options.end());
    Argv.push_back("https://" + Case.Host + ":" + Port + "/");
    const clitest::TRunResult Run = clitest::RunProgram(Argv);
    SCOPED_TRACE(Argv.back() + " " + Run.Err);
    EXPECT_EQ(Run.Status, Case.Status);
    EXPECT_EQ(Run.Out.substr(0, Case.Body.size()), Case.Body);
  }
}

}  // namespace
