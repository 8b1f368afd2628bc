// A real nginx for tests, on a free loopback port, with its configuration, document root and
// logs in a temporary folder of its own. No root rights needed, nothing outside the folder.
//
// nginx runs in the foreground as the test's child. It writes its pid file only once its
// listening socket is open, so the constructor waits for that file (inotify) or for nginx's
// exit (pidfd), under a watchdog: no polling, no fixed sleep.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace clitest {

// A folder under the system's temporary folder, removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    std::string Pattern = (std::filesystem::temp_directory_path() / "orrery-cli-XXXXXX").string();
    if (::mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = Pattern;
    // nginx may serve as another user when started by root.
    std::filesystem::permissions(
        FPath, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                   std::filesystem::perms::others_exec);
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

inline void WriteBytes(const std::filesystem::path& File, const std::string& Bytes) {
  std::ofstream Out(File, std::ios::binary | std::ios::trunc);
  Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!Out.flush()) throw std::runtime_error("cannot write " + File.string());
}

inline std::string ReadBytes(const std::filesystem::path& File) {
  std::ifstream In(File, std::ios::binary);
  std::ostringstream All;
  All << In.rdbuf();
  return All.str();
}

class TNginxServer {
 public:
  // Locations: extra blocks for the server (redirections and the like).
  explicit TNginxServer(const std::string& Locations = {}) {
    std::filesystem::create_directory(Root());
    std::string Failures;
    // The free port is only free when it is probed: another process may take it before
    // nginx binds it, and then nginx exits and another port is tried.
    for (int Attempt = 0; Attempt < 5; ++Attempt) {
      FPort = FreePort();
      WriteConfig(Locations);
      if (Start()) return;
      Failures += ReadBytes(FDir.Path() / "stderr.txt");
    }
    throw std::runtime_error("nginx did not start: " + Failures);
  }

  ~TNginxServer() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    pollfd Exit{FPidFd, POLLIN, 0};
    if (::poll(&Exit, 1, 10000) <= 0) ::kill(FPid, SIGKILL);  // watchdog
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    ::close(FPidFd);
  }

  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  std::uint16_t Port() const { return FPort; }
  std::filesystem::path Root() const { return FDir.Path() / "html"; }
  // A folder for the test's own files, removed with the server's.
  const std::filesystem::path& Scratch() const { return FDir.Path(); }
  std::string Url(const std::string& Path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + Path;
  }
  void Serve(const std::string& Name, const std::string& Bytes) {
    WriteBytes(Root() / Name, Bytes);
  }

 private:
  static std::uint16_t FreePort() {
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
      throw std::runtime_error("no free port");
    ::close(Fd);
    return ntohs(A.sin_port);
  }

  void WriteConfig(const std::string& Locations) const {
    const std::string D = FDir.Path().string();
    std::ostringstream C;
    C << "daemon off;\nmaster_process off;\n"
      << "pid " << D << "/nginx.pid;\nerror_log " << D << "/error.log;\n"
      << "events { worker_connections 64; }\n"
      << "http {\n  access_log off;\n  default_type application/octet-stream;\n";
    for (const char* Temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      C << "  " << Temp << "_temp_path " << D << "/" << Temp << ";\n";
    C << "  server {\n    listen 127.0.0.1:" << FPort << ";\n    root " << D << "/html;\n"
      << Locations << "\n  }\n}\n";
    WriteBytes(FDir.Path() / "nginx.conf", C.str());
  }

  // True once nginx listens; false when it exited first.
  bool Start() {
    const std::filesystem::path PidFile = FDir.Path() / "nginx.pid";
    const int Watch = ::inotify_init1(IN_CLOEXEC);
    if (Watch < 0 || ::inotify_add_watch(Watch, FDir.Path().c_str(), IN_CLOSE_WRITE) < 0)
      throw std::runtime_error("inotify failed");

    const std::string D = FDir.Path().string();
    const std::string Conf = D + "/nginx.conf";
    const std::string Log = D + "/error.log";
    const char* Args[] = {"nginx", "-p", D.c_str(), "-e", Log.c_str(), "-c", Conf.c_str(), nullptr};
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, (D + "/stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    const int Spawned =
        ::posix_spawnp(&FPid, "nginx", &Actions, nullptr, const_cast<char**>(Args), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Spawned != 0) {
      ::close(Watch);
      throw std::runtime_error("cannot start nginx (is it installed?)");
    }
    FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
    if (FPidFd < 0) throw std::runtime_error("pidfd_open failed");

    bool Ready = false;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Ready) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd Fds[2] = {{Watch, POLLIN, 0}, {FPidFd, POLLIN, 0}};
      if (Left <= 0 || ::poll(Fds, 2, static_cast<int>(Left)) == 0) break;  // watchdog
      if (Fds[0].revents != 0) {
        char Events[4096];
        (void)::read(Watch, Events, sizeof Events);
        Ready = std::filesystem::exists(PidFile);
      }
      if (!Ready && Fds[1].revents != 0) break;  // nginx exited
    }
    ::close(Watch);
    if (Ready) return true;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    ::close(FPidFd);
    FPid = -1;
    FPidFd = -1;
    return false;
  }

  TTempDir FDir;
  std::uint16_t FPort = 0;
  pid_t FPid = -1;
  int FPidFd = -1;
};

}  // namespace clitest
