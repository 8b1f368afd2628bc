// TCliSession: one run of orrery-cli. It sets up a TVelHTTP from the options, traces its
// status reports and events with -v, writes the reply out, and tells from the component's
// events how a failed request ended, for the exit status.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "base/TComponent.h"
#include "cli/CliExitStatus.h"
#include "cli/TCliOptions.h"
#include "http/TVelHTTP.h"

class TCliSession {
 public:
  // Out receives the reply (header block with -i or -I, body unless -o), Err the trace and
  // the error messages. Trace times count from Start.
  TCliSession(const TCliOptions& Options, std::FILE* Out, std::FILE* Err,
              std::chrono::steady_clock::time_point Start);

  // Runs the request and returns the exit status.
  int Run();

 private:
  void Configure(TVelHTTP& Http);
  void Request(TVelHTTP& Http);
  // The outcome of a request that raised an error, from what its events reported.
  TCliOutcome Classify(const TVelHTTP& Http) const;
  std::string ServerName(const TVelHTTP& Http) const;
  void Trace(const std::string& Text);
  // The reply's header block in the trace, once per pass, as soon as it has been read.
  void TraceReplyHeader(const TVelHTTP& Http);
  void Complain(const std::string& Message);
  bool WriteOut(const std::string& Bytes);

  const TCliOptions& FOptions;
  std::FILE* FOut;
  std::FILE* FErr;
  std::chrono::steady_clock::time_point FStart;

  TOwned<TVelHTTP> FHttp;
  std::string FHeaders;  // header blocks of the redirections, for -i
  bool FHostNotFound = false;
  bool FConnectFailed = false;
  bool FReplyHeaderTraced = false;
};
