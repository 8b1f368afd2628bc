// orrery-cli --replay: the entries sent one by one, each result printed as it comes, the new
// passes saved for --har.
#include "cli/CliReplay.h"

#include <unistd.h>

#include <exception>
#include <vector>

#include "cli/TCliHarReport.h"
#include "inspect/THarWriter.h"

namespace {

TCliVerdict VerdictOf(TReplayOutcome Outcome) {
  switch (Outcome) {
    case TReplayOutcome::roSame: return TCliVerdict::cvSame;
    case TReplayOutcome::roDiffers: return TCliVerdict::cvDiffers;
    case TReplayOutcome::roFailed: return TCliVerdict::cvFailed;
    default: return TCliVerdict::cvSkipped;
  }
}

TCliHarRow RowOf(const THarEntry& Entry, const TReplayResult& R, const TCliOptions& O) {
  TCliHarRow Row;
  Row.Verdict = VerdictOf(R.Outcome);
  Row.Method = R.Method;
  Row.URL = R.URL;
  Row.IndexA = R.Index;
  Row.A = &Entry.Pass;
  Row.B = R.Replayed ? &*R.Replayed : nullptr;
  Row.Why = R.Why;
  // The replay says it plainly; the command line names the switch that sends it.
  if (R.Outcome == TReplayOutcome::roSkipped && Entry.Refused.empty() && !O.Unsafe &&
      !TPassReplay::SafeMethod(R.Method))
    Row.Why = "unsafe method " + R.Method + ": not re-sent without --unsafe";
  Row.Comparison = R.Comparison;
  return Row;
}

void SaveHar(const std::vector<TReplayResult>& Results, const std::string& FileName,
             TCliHarReport& Report, TCliHarRun& Run) {
  std::vector<TExchangePass> Passes;
  for (const TReplayResult& R : Results)
    if (R.Replayed) Passes.push_back(*R.Replayed);
  try {
    THarWriter::Save(FileName, THarWriter::Document(Passes));
  } catch (const std::exception& E) {
    Report.Trouble(Run, E.what());
  }
}

}  // namespace

TReplayOptions CliReplayOptions(const TCliOptions& Options) {
  TReplayOptions R;
  R.Base = Options.Base;
  R.Unsafe = Options.Unsafe;
  R.KeepCredentials = Options.KeepCredentials;
  R.Proxy = Options.ProxyHost;
  R.ProxyPort = Options.ProxyPort;
  R.TimeOutMs = Options.TimeOutMs;
  R.Tls = Options.Tls;
  R.Compare = TCliHarReport::CompareOptions(Options);
  return R;
}

int CliReplayRun(const TCliOptions& Options, std::FILE* Out, std::FILE* Err) {
  TCliHarReport Report(Options, Out, Err, TDiffPrinter::StyleFor(::fileno(Out)));
  TCliHarRun Run;
  Run.Mode = "replay";
  Run.Files = {Options.ReplayFile};
  Run.Base = Options.Base;
  const THarLog Log = Report.Read(Options.ReplayFile, Run);
  if (Log.Entries.empty() && !Log.Error.empty()) return 2;
  TPassReplay Replay(CliReplayOptions(Options));
  // Kept whole to the end: the rows point into them, and --har writes them.
  std::vector<TReplayResult> Results;
  Results.reserve(Log.Entries.size());
  for (const THarEntry& Entry : Log.Entries) {
    // Nobody reads the result any more (| head): the rest is not sent for nothing.
    if (Report.Broken()) break;
    Results.push_back(Replay.Replay(Entry));
    Report.Add(Run, RowOf(Entry, Results.back(), Options));
  }
  if (!Options.HarFile.empty()) SaveHar(Results, Options.HarFile, Report, Run);
  return Report.Finish(Run);
}
