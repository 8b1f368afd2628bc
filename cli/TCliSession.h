// TCliSession: one run of orrery-cli. It sets up a TVelHTTP from the options, writes each
// reply's header block (-i) and the last reply's body as they arrive, traces the exchange
// with -v, tells from the component's events and errors how the run ended, and writes -w's
// text at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/TComponent.h"
#include "cli/CliExitStatus.h"
#include "cli/CliWriteOut.h"
#include "cli/TCliOptions.h"
#include "cli/TCliOutput.h"
#include "cli/TCliVerbose.h"
#include "http/TVelHTTP.h"

class TCliSession {
 public:
  // The reply goes to OutFd (or to -o's file), -w's text to OutFd; Err receives the trace
  // and the error messages. Trace times count from Start.
  TCliSession(const TCliOptions& Options, int OutFd, std::FILE* Err,
              std::chrono::steady_clock::time_point Start);

  // Runs the request and returns the exit status.
  int Run();

 private:
  // When the stages of the last pass were reached, in seconds from the first pass's start;
  // negative for a stage not reached.
  struct TPassTimes {
    double Start = -1;
    double Resolved = -1;
    double Connected = -1;
    double FirstByte = -1;
  };

  void Configure(TVelHTTP& Http);
  void HookStages(TVelHTTP& Http);
  void HookTrace(TVelHTTP& Http);
  void Request(TVelHTTP& Http);
  void HeaderArrived(TVelHTTP& Http);
  void Redirected(TVelHTTP& Http, bool& Handled);
  void Stage(const std::string& Text) const;
  // The exit status of the run, with the error message (if any) told and -w written.
  int Finish(TVelHTTP& Http, TCliOutcome Outcome, const std::string& Error);
  std::string FailureText(const TVelHTTP& Http, TCliOutcome Outcome,
                          const std::string& Error) const;
  TWriteOutValues WriteOutValues(const TVelHTTP& Http, int Status, const std::string& Error) const;
  void Complain(int Status, const std::string& Message) const;
  std::string ServerName(const TVelHTTP& Http) const;
  double Seconds() const;
  std::int64_t Milliseconds() const;

  const TCliOptions& FOptions;
  int FOutFd;
  std::FILE* FErr;
  std::chrono::steady_clock::time_point FStart;
  TCliVerbose FVerbose;
  TCliOutput FOut;

  TOwned<TVelHTTP> FHttp;
  TCliFailureFacts FFacts;
  int FRedirects = 0;
  bool FBodyWanted = false;  // the body of the pass being read is the one to write
  bool FHeaderWritten = false;
  std::chrono::steady_clock::time_point FFirstPass;
  bool FStarted = false;
  TPassTimes FTimes;
  std::int64_t FHeaderBytes = 0;   // every reply's header block
  std::int64_t FRequestBytes = 0;  // every request's header block
  std::int64_t FUploadBytes = 0;
  std::int64_t FBodyBytes = 0;  // the last reply's body
};
