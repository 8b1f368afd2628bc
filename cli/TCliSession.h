// TCliSession: one run of orrery-cli. It sets up one TVelHTTP from the options and makes one
// transfer per URL with it, in order, so that URLs to one server share a kept connection. Each
// transfer writes each reply's header block (-i) as it arrives and the last reply's body block
// by block through the component's body sink to its own output, tells from the reply or the
// error (its class and step) how the transfer ended, traces the passes live for -v, and, when -v,
// -w or --har asks for it, records the exchange to fill -w's variables and to write the HTTP
// Archive. https is on, as in curl; a failed handshake or check is told in curl's words, then in
// plain ones. The trace and the recorder are observers of the component, beside the handlers set
// here in any order.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/TComponent.h"
#include "cli/CliExitStatus.h"
#include "cli/CliWriteOut.h"
#include "cli/TCliOptions.h"
#include "cli/TCliOutput.h"
#include "cli/TCliVerbose.h"
#include "http/TVelHTTP.h"
#include "tls/TTlsReason.h"
#include "inspect/TExchangeRecorder.h"

class TCliSession {
 public:
  // The reply goes to OutFd (or to -o's file), -w's text to OutFd; Err receives the trace
  // and the error messages. Trace times count from Start.
  TCliSession(const TCliOptions& Options, int OutFd, std::FILE* Err,
              std::chrono::steady_clock::time_point Start);
  ~TCliSession();

  // Runs every URL's transfer and returns the exit status: the last transfer's, as curl's.
  int Run();

 private:
  void Configure(TVelHTTP& Http);
  // The -v trace, the recorder and -i's tunnel head, as observers of Http.
  void Record(TVelHTTP& Http);
  // The transfer of the URL at Index, its outcome told; returns its exit status.
  int Transfer(TVelHTTP& Http, std::size_t Index);
  void Request(TVelHTTP& Http);
  // With -v, an international host of the command line's URL in both its forms, once.
  void TellInternationalName(const std::string& URL) const;
  void HeaderArrived(TVelHTTP& Http);
  void Redirected(TVelHTTP& Http, bool& Handled);
  // The exit status of the transfer, with the error message (if any) told and -w written;
  // after the last one, the HAR of every transfer saved.
  int Finish(TVelHTTP& Http, TCliOutcome Outcome, const std::string& Error, bool Last);
  std::string FailureText(const TVelHTTP& Http, TCliOutcome Outcome,
                          const std::string& Error) const;
  void WriteOut(const TVelHTTP& Http, const TWriteOutValues& Values, int Status,
                const std::string& Message);
  // Saves --har's file; false (with the message told) when it cannot be written.
  bool SaveHar(int Status);
  // A descriptor to append to when FileName is a regular file a reply was written to (FOutFd
  // itself for standard output); -1 when it is another file.
  int ReplyFileOf(const std::string& FileName) const;
  void Stage(std::int64_t Ms, const std::string& Text) const;
  void Complain(int Status, const std::string& Message) const;
  std::string ServerName(const TVelHTTP& Http) const;
  std::int64_t Milliseconds() const;

  const TCliOptions& FOptions;
  int FOutFd;
  std::FILE* FErr;
  std::chrono::steady_clock::time_point FStart;
  TCliVerbose FVerbose;

  TOwned<TVelHTTP> FHttp;
  std::unique_ptr<TExchangeRecorder> FRecorder;  // only for -v, -w and --har
  std::unique_ptr<TCliTrace> FTrace;             // only for -v; reads FRecorder
  class TTunnelHead;
  std::unique_ptr<TTunnelHead> FTunnelHead;      // only for -i and -I
  // The transfer in progress.
  std::size_t FIndex = 0;            // its URL's place among the URLs
  std::unique_ptr<TCliOutput> FOut;  // where its body goes
  std::size_t FFirstPass = 0;        // its first pass among the recorder's
  int FOpenedBefore = 0;             // connections the component had opened before it
  std::optional<std::string> FRequestBody;  // -d's bytes, read at the first transfer
  win::SOCKADDR_INET FSentRemote{};  // the connection's ends as its last request went out
  win::SOCKADDR_INET FSentLocal{};
  int FRedirects = 0;
  bool FBodyWanted = false;  // the body of the pass being read is the one to write
  TTlsReason FTlsReason;     // why the TLS handshake or check failed, in plain words
};
