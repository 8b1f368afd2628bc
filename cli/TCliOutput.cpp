// TCliOutput: the reply, written block by block to standard output or to a file.
#include "cli/TCliOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/CliErrors.h"

TCliOutput::TCliOutput(std::string FileName, int StdoutFd)
    : FFileName(std::move(FileName)), FFd(FFileName.empty() ? StdoutFd : -1) {}

TCliOutput::~TCliOutput() {
  if (FOwnsFd) ::close(FFd);
}

void TCliOutput::Fail(const std::string& What, int ErrorNo) {
  FFailed = true;
  throw ECliWriteError(What + ": " + std::strerror(ErrorNo));
}

void TCliOutput::Open() {
  FFd = ::open(FFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) Fail("cannot create '" + FFileName + "'", errno);
  FOwnsFd = true;
}

void TCliOutput::Write(std::string_view Bytes) {
  if (FFailed) throw ECliWriteError("the output failed before");
  if (FFd < 0) Open();
  while (!Bytes.empty()) {
    const ssize_t Done = ::write(FFd, Bytes.data(), Bytes.size());
    if (Done < 0 && errno == EINTR) continue;
    if (Done <= 0)
      Fail(FFileName.empty() ? std::string("cannot write to standard output")
                             : "cannot write to '" + FFileName + "'",
           Done < 0 ? errno : ENOSPC);
    Bytes.remove_prefix(static_cast<std::size_t>(Done));
  }
}

void TCliOutput::Finish() {
  if (FFailed) return;
  if (FFd < 0) Open();
  if (!FOwnsFd) return;
  FOwnsFd = false;
  if (::close(FFd) != 0) Fail("cannot write to '" + FFileName + "'", errno);
}
