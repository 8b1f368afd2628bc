// A real nginx for orrery-cli's tests, on a free loopback port, with its configuration,
// document root and logs in a scratch folder of its own; built on the integration suite's
// server process guard.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/integration/ServerProcess.h"

namespace clitest {

inline std::string ReadBytes(const std::filesystem::path& File) {
  std::ifstream In(File, std::ios::binary);
  std::ostringstream All;
  All << In.rdbuf();
  return All.str();
}

class TNginxServer {
 public:
  // Locations: extra blocks for the server (redirections and the like). AlsoIpv6: it listens
  // on [::1] as well, at the same port.
  explicit TNginxServer(const std::string& Locations, bool AlsoIpv6 = false) {
    FDir.Write("html/.keep", "");
    const std::string Listen6 = AlsoIpv6 ? "    listen [::1]:{P};\n" : "";
    FPort = testsupport::StartNginx(FProcess, FDir, Listen6 + "    root {D}/html;\n" + Locations);
    if (FPort == 0)
      throw std::runtime_error("nginx did not start: " + ReadBytes(FDir.Path() + "/error.log"));
  }

  std::uint16_t Port() const { return FPort; }
  std::filesystem::path Root() const { return FDir.Path() + "/html"; }
  // A folder for the test's own files, removed with the server's.
  std::filesystem::path Scratch() const { return FDir.Path(); }
  std::string Url(const std::string& Path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + Path;
  }
  void Serve(const std::string& Name, const std::string& Bytes) {
    FDir.Write("html/" + Name, Bytes);
  }

 private:
  testsupport::ScratchDir FDir;  // outlives the process, which is stopped first
  testsupport::ServerProcess FProcess;
  std::uint16_t FPort = 0;
};

}  // namespace clitest
