// A stream on a file, on POSIX descriptors.
#include "base/TFileStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/Exception.h"

namespace {

std::string Quoted(const std::string& FileName) { return "\"" + FileName + "\""; }

// One call moves at most this much; Linux caps a transfer just below 2 GiB anyway.
constexpr std::int64_t MaxTransfer = 0x40000000;

}  // namespace

TFileStream::TFileStream(const std::string& FileName, TFileMode Mode) : FFileName(FileName) {
  int Flags = O_CLOEXEC;
  switch (Mode) {
    case TFileMode::fmOpenRead: Flags |= O_RDONLY; break;
    case TFileMode::fmCreate: Flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case TFileMode::fmOpenWrite: Flags |= O_WRONLY; break;
    case TFileMode::fmOpenReadWrite: Flags |= O_RDWR; break;
  }
  do {
    FHandle = ::open(FileName.c_str(), Flags, 0666);
  } while (FHandle < 0 && errno == EINTR);
  if (FHandle < 0) {
    const char* Reason = std::strerror(errno);
    if (Mode == TFileMode::fmCreate)
      throw EFCreateError("Cannot create file " + Quoted(FileName) + ". " + Reason);
    throw EFOpenError("Cannot open file " + Quoted(FileName) + ". " + Reason);
  }
}

TFileStream::~TFileStream() {
  // Not retried on EINTR: on Linux the descriptor is released even then.
  if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void* Buffer, std::int64_t Count) {
  auto* Out = static_cast<char*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    ssize_t N =
        ::read(FHandle, Out + Done, static_cast<std::size_t>(std::min(Count - Done, MaxTransfer)));
    if (N < 0) {
      if (errno == EINTR) continue;
      throw EReadError("Cannot read file " + Quoted(FFileName) + ". " + std::strerror(errno));
    }
    if (N == 0) break;
    Done += N;
  }
  return Done;
}

std::int64_t TFileStream::Write(const void* Buffer, std::int64_t Count) {
  const auto* In = static_cast<const char*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    ssize_t N =
        ::write(FHandle, In + Done, static_cast<std::size_t>(std::min(Count - Done, MaxTransfer)));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      // A regular file that accepts nothing without an error is full as well.
      int Error = N < 0 ? errno : ENOSPC;
      throw EWriteError("Cannot write to file " + Quoted(FFileName) + ". " + std::strerror(Error));
    }
    Done += N;
  }
  return Done;
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  int Whence = SEEK_SET;
  switch (Origin) {
    case TSeekOrigin::soBeginning: Whence = SEEK_SET; break;
    case TSeekOrigin::soCurrent: Whence = SEEK_CUR; break;
    case TSeekOrigin::soEnd: Whence = SEEK_END; break;
  }
  off_t Result = ::lseek(FHandle, static_cast<off_t>(Offset), Whence);
  if (Result < 0)
    throw EStreamError("Cannot seek in file " + Quoted(FFileName) + ". " + std::strerror(errno));
  return Result;
}

void TFileStream::SetSize(std::int64_t NewSize) {
  int Result;
  do {
    Result = ::ftruncate(FHandle, static_cast<off_t>(NewSize));
  } while (Result < 0 && errno == EINTR);
  if (Result < 0)
    throw EStreamError("Cannot set the size of file " + Quoted(FFileName) + ". " +
                       std::strerror(errno));
  // Like a memory stream: a position beyond the new end moves back to it.
  if (Position() > NewSize) Seek(NewSize, TSeekOrigin::soBeginning);
}
