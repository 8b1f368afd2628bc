// Runs a program for a test with its standard output and error captured. A watchdog kills
// it when it overruns its time, so a program that hangs fails the test instead of the suite.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;  // the test passes its own environment on

namespace clitest {

struct TRunResult {
  int Status = -1;      // the exit status; -1 when the program did not exit normally
  bool Killed = false;  // the watchdog had to kill it
  std::string Out;
  std::string Err;
};

struct TRunOptions {
  std::chrono::milliseconds Limit = std::chrono::seconds(30);
  // The reader of standard output goes away at once, as "| head -c 0" would.
  bool CloseStdout = false;
  // Called on the test's thread each time standard output has grown, with all of it so far.
  std::function<void(const std::string& Out)> OnOut;
};

inline TRunResult RunProgram(const std::vector<std::string>& Argv,
                             const TRunOptions& Options = TRunOptions()) {
  const std::chrono::milliseconds Limit = Options.Limit;
  int OutPipe[2];
  int ErrPipe[2];
  if (::pipe2(OutPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(ErrPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (Options.CloseStdout) {
    // Before the start, so that not even the first write can find a reader.
    ::close(OutPipe[0]);
    OutPipe[0] = -1;
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, OutPipe[1], 1);
  posix_spawn_file_actions_adddup2(&Actions, ErrPipe[1], 2);
  std::vector<char*> Args;
  for (const std::string& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);
  pid_t Pid = 0;
  const int Spawned = ::posix_spawn(&Pid, Args[0], &Actions, nullptr, Args.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  if (Spawned != 0) {
    if (OutPipe[0] >= 0) ::close(OutPipe[0]);
    ::close(ErrPipe[0]);
    throw std::runtime_error("cannot start " + Argv[0]);
  }

  TRunResult R;
  const auto Deadline = std::chrono::steady_clock::now() + Limit;
  pollfd Fds[2] = {{OutPipe[0], POLLIN, 0}, {ErrPipe[0], POLLIN, 0}};
  std::string* Sinks[2] = {&R.Out, &R.Err};
  int Open = Options.CloseStdout ? 1 : 2;
  while (Open > 0) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Deadline - std::chrono::steady_clock::now())
                          .count();
    if (Left <= 0 && !R.Killed) {
      ::kill(Pid, SIGKILL);
      R.Killed = true;
    }
    // Once killed, its pipes close at once; wait for that without a limit.
    const int Ready = ::poll(Fds, 2, R.Killed ? -1 : static_cast<int>(Left));
    if (Ready < 0 && errno != EINTR) break;
    for (int I = 0; I < 2; ++I) {
      if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
      char Buffer[65536];
      const ssize_t N = ::read(Fds[I].fd, Buffer, sizeof Buffer);
      if (N > 0) {
        Sinks[I]->append(Buffer, static_cast<std::size_t>(N));
        if (I == 0 && Options.OnOut) Options.OnOut(R.Out);
      } else if (N == 0 || errno != EINTR) {
        ::close(Fds[I].fd);
        Fds[I].fd = -1;
        --Open;
      }
    }
  }
  for (const pollfd& F : Fds)
    if (F.fd >= 0) ::close(F.fd);
  int WaitStatus = 0;
  while (::waitpid(Pid, &WaitStatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(WaitStatus)) R.Status = WEXITSTATUS(WaitStatus);
  return R;
}

}  // namespace clitest
