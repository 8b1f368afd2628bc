// TCliOutput: where the reply goes, standard output or the file of -o, written block by block
// as it arrives. A write that fails (a closed pipe, a full disk) raises ECliWriteError and
// leaves the stream alone from then on: nothing more is tried on it.
#pragma once

#include <string>
#include <string_view>

class TCliOutput {
 public:
  // FileName empty: the descriptor StdoutFd. Otherwise the file is created (or truncated)
  // at the first write, or by Finish, so that a run that fails early leaves no file behind.
  TCliOutput(std::string FileName, int StdoutFd);
  ~TCliOutput();
  TCliOutput(const TCliOutput&) = delete;
  TCliOutput& operator=(const TCliOutput&) = delete;

  void Write(std::string_view Bytes);
  // Creates the file when nothing was written to it, and closes it; raises ECliWriteError
  // when the close reports a delayed write error.
  void Finish();

  bool Failed() const { return FFailed; }

 private:
  void Open();
  [[noreturn]] void Fail(const std::string& What, int ErrorNo);

  std::string FFileName;
  int FFd;
  bool FOwnsFd = false;
  bool FFailed = false;
};
