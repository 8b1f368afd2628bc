// SaveFile: a whole replacement for regular files, a write in place for everything else.
#include "inspect/FileSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/Exception.h"

namespace {

std::string Why(const std::string& What, const std::string& FileName, int Error) {
  return What + " \"" + FileName + "\": " + std::strerror(Error);
}

// Keeps SIGPIPE from ending the program while a FIFO or a pipe is written: the write then
// fails with EPIPE, which is reported. A SIGPIPE raised meanwhile is taken off the thread.
class TPipeSignalHeld {
 public:
  TPipeSignalHeld() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    sigset_t Pending;
    sigpending(&Pending);
    FWasPending = sigismember(&Pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FPipe, &FBefore);
  }
  ~TPipeSignalHeld() {
    sigset_t Pending;
    sigpending(&Pending);
    if (!FWasPending && sigismember(&Pending, SIGPIPE) == 1) {
      const timespec Now{0, 0};
      while (sigtimedwait(&FPipe, nullptr, &Now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FBefore, nullptr);
  }
  TPipeSignalHeld(const TPipeSignalHeld&) = delete;
  TPipeSignalHeld& operator=(const TPipeSignalHeld&) = delete;

 private:
  sigset_t FPipe{};
  sigset_t FBefore{};
  bool FWasPending = false;
};

// Every byte of Parts to Fd; errno of the failure, or 0.
int WriteAll(int Fd, std::initializer_list<std::string_view> Parts) {
  const TPipeSignalHeld Held;
  for (std::string_view Part : Parts) {
    while (!Part.empty()) {
      const ::ssize_t N = ::write(Fd, Part.data(), Part.size());
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) return N < 0 ? errno : EIO;
      Part.remove_prefix(static_cast<std::size_t>(N));
    }
  }
  return 0;
}

// A device, a FIFO or a link: opened as it is, truncated, written, never renamed over.
void WriteInPlace(const std::string& FileName, std::initializer_list<std::string_view> Parts) {
  // Opened without blocking: a FIFO that nobody reads would otherwise hold the caller (the
  // window's only thread) for as long as nobody comes. It then says ENXIO, and is refused.
  int Fd;
  do {
    Fd = ::open(FileName.c_str(),
                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0 && errno == ENXIO)
    throw EFCreateError("Cannot create file \"" + FileName + "\": nothing reads from it");
  if (Fd < 0) throw EFCreateError(Why("Cannot create file", FileName, errno));
  // The writes themselves block as any writer's do: a reader that is there takes its time.
  const int Flags = ::fcntl(Fd, F_GETFL);
  if (Flags >= 0) ::fcntl(Fd, F_SETFL, Flags & ~O_NONBLOCK);
  int Error = WriteAll(Fd, Parts);
  // Only a regular file (behind a link) has anything to flush; a device or a FIFO says EINVAL.
  struct stat Info {};
  if (Error == 0 && ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) && ::fsync(Fd) != 0)
    Error = errno;
  if (::close(Fd) != 0 && Error == 0 && errno != EINTR) Error = errno;
  if (Error != 0) throw EWriteError(Why("Cannot write file", FileName, Error));
}

// A regular file or none: a temporary file of our own, renamed over the name at the end.
void Replace(const std::string& FileName, const struct stat* Old,
             std::initializer_list<std::string_view> Parts) {
  // mkstemp opens with O_EXCL: a file or link someone put at a name we chose is never
  // followed, and the rename stays on one file system.
  std::string Temporary = FileName + ".XXXXXX";
  const int Fd = ::mkstemp(Temporary.data());
  if (Fd < 0) throw EFCreateError(Why("Cannot create file", FileName, errno));
  // mkstemp makes the file 0600: a new file gets the usual mode, a replaced one its own.
  ::mode_t Mode = Old ? Old->st_mode & 07777 : 0;
  if (!Old) {
    const ::mode_t Mask = ::umask(0);
    ::umask(Mask);
    Mode = 0666 & ~Mask;
  }
  int Error = ::fchmod(Fd, Mode) == 0 ? WriteAll(Fd, Parts) : errno;
  if (Error == 0 && ::fsync(Fd) != 0) Error = errno;
  if (::close(Fd) != 0 && Error == 0) Error = errno;
  if (Error == 0 && std::rename(Temporary.c_str(), FileName.c_str()) != 0) Error = errno;
  if (Error != 0) {
    ::unlink(Temporary.c_str());
    throw EWriteError(Why("Cannot write file", FileName, Error));
  }
}

}  // namespace

void SaveFile(const std::string& FileName, std::initializer_list<std::string_view> Parts) {
  struct stat Info {};
  if (::lstat(FileName.c_str(), &Info) != 0) {
    // Absent (or out of reach, which the temporary file will tell).
    Replace(FileName, nullptr, Parts);
    return;
  }
  if (S_ISREG(Info.st_mode)) {
    // A rename would replace a file its owner made read-only: refused, as a writer is.
    if (::access(FileName.c_str(), W_OK) != 0)
      throw EFCreateError(Why("Cannot create file", FileName, errno));
    Replace(FileName, &Info, Parts);
    return;
  }
  WriteInPlace(FileName, Parts);
}
