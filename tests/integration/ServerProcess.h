// Real servers for the integration tests: a scratch directory for their configuration and
// files, a free loopback port, and a child process that is killed and reaped by the guard.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/LoopbackPeer.h"

extern char** environ;

namespace testsupport {

// A directory of its own, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char Pattern[] = "/tmp/orrery-it-XXXXXX";
    FPath = ::mkdtemp(Pattern);
  }
  ~ScratchDir() { std::filesystem::remove_all(FPath); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string Write(const std::string& Name, const std::string& Content) const {
    const std::string Full = FPath + "/" + Name;
    std::filesystem::create_directories(std::filesystem::path(Full).parent_path());
    std::ofstream(Full, std::ios::binary) << Content;
    return Full;
  }

 private:
  std::string FPath;
};

// A loopback port that was free a moment ago: one nothing listens on.
inline std::uint16_t FreePort() { return RefusingPort(); }

inline bool Accepts(std::uint16_t Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(Port);
  const bool Ok = ::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  ::close(Fd);
  return Ok;
}

// A server process, stopped (killed and reaped) by the destructor.
class ServerProcess {
 public:
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { Stop(); }

  // Starts Argv and waits until Port accepts connections. Both servers write their pid and
  // log files in WatchDir once they listen, so the wait wakes on changes there; the probe
  // also runs on a coarse tick in case a write goes unnoticed. False when the program
  // could not be started, died, or did not listen within the limit.
  bool Start(const std::vector<std::string>& Argv, std::uint16_t Port, const std::string& WatchDir,
             std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    std::vector<char*> Args;
    for (const auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
    Args.push_back(nullptr);
    const int Watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (Watch >= 0) ::inotify_add_watch(Watch, WatchDir.c_str(), IN_CREATE | IN_MODIFY);
    if (::posix_spawn(&FPid, Args[0], nullptr, nullptr, Args.data(), environ) != 0) FPid = -1;
    bool Up = false;
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (FPid > 0 && !Up) {
      if (Accepts(Port)) {
        Up = true;
        break;
      }
      int Status = 0;
      if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = -1;  // it died: a bad configuration or a port taken meanwhile
        break;
      }
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Deadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0) break;
      pollfd P{Watch, POLLIN, 0};
      ::poll(&P, Watch >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(Left.count(), 50)));
      char Drain[4096];
      while (Watch >= 0 && ::read(Watch, Drain, sizeof Drain) > 0) {
      }
    }
    if (Watch >= 0) ::close(Watch);
    if (!Up) Stop();
    return Up;
  }

  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    FPid = -1;
  }

 private:
  pid_t FPid = -1;
};

// Starts nginx on a free loopback port with its configuration, pid, logs and temporary files
// in Dir, and Server as the body of its one server block ("{D}" in it stands for Dir). A port
// may be taken between the probe and nginx's bind, so a few are tried. Returns the port, or 0
// when nginx did not start (Dir's error.log says why).
inline std::uint16_t StartNginx(ServerProcess& Process, const ScratchDir& Dir,
                                const std::string& Server) {
  const std::string& D = Dir.Path();
  std::string Body = Server;
  for (auto At = Body.find("{D}"); At != std::string::npos; At = Body.find("{D}", At + D.size()))
    Body.replace(At, 3, D);
  for (int Try = 0; Try < 5; ++Try) {
    const std::uint16_t Port = FreePort();
    // "{P}" in the server's block is its port (a second listen line names it).
    std::string Block = Body;
    for (auto At = Block.find("{P}"); At != std::string::npos; At = Block.find("{P}", At))
      Block.replace(At, 3, std::to_string(Port));
    std::string Conf = "daemon off;\nmaster_process off;\npid " + D + "/nginx.pid;\nerror_log " +
                       D + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                       "  access_log off;\n  default_type application/octet-stream;\n";
    for (const char* Temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      Conf += std::string("  ") + Temp + "_temp_path " + D + "/tmp_" + Temp + ";\n";
    Conf +=
        "  server {\n    listen 127.0.0.1:" + std::to_string(Port) + ";\n" + Block + "\n  }\n}\n";
    const std::string File = Dir.Write("nginx.conf", Conf);
    if (Process.Start({"/usr/sbin/nginx", "-p", D, "-c", File, "-e", D + "/error.log"}, Port, D))
      return Port;
  }
  return 0;
}

}  // namespace testsupport
