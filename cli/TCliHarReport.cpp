// TCliHarReport: the reading, the printing and the ending shared by --replay and --compare.
#include "cli/TCliHarReport.h"

#include <iostream>

#include "cli/TCliVerbose.h"

TCliHarReport::TCliHarReport(const TCliOptions& Options, std::FILE* Out, std::FILE* Err,
                             TDiffPrinter::TStyle Style)
    : FOptions(Options), FOut(Out), FErr(Err), FPrinter(Style) {}

void TCliHarReport::Complain(const std::string& Message) const {
  if (FOptions.Silent && !FOptions.ShowError) return;
  std::fprintf(FErr, "orrery-cli: %s\n", TCliVerbose::Printable(Message).c_str());
}

void TCliHarReport::Write(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), FOut);
}

void TCliHarReport::Trouble(TCliHarRun& Run, const std::string& Message) {
  Complain(Message);
  Run.Errors.push_back(Message);
}

THarLog TCliHarReport::Read(const std::string& FileName, TCliHarRun& Run) {
  THarLog Log = FileName == "-" ? THarReader::Read(std::cin) : THarReader::ReadFile(FileName);
  if (!Log.Error.empty()) {
    // A file that cannot be opened is named by the reader already.
    std::string Message =
        Log.Error.rfind(FileName + ": ", 0) == 0 ? Log.Error : FileName + ": " + Log.Error;
    if (!Log.Entries.empty())
      Message += " (what was read of " + std::to_string(Log.Entries.size()) +
                 (Log.Entries.size() == 1 ? " entry" : " entries") + " is used)";
    Trouble(Run, Message);
  }
  return Log;
}

void TCliHarReport::Add(TCliHarRun& Run, TCliHarRow Row) {
  if (!FOptions.Json) {
    const bool Paired = Row.Verdict != TCliVerdict::cvOnlyInA &&
                        Row.Verdict != TCliVerdict::cvOnlyInB &&
                        Row.Verdict != TCliVerdict::cvSkipped;
    const auto Status = [](const TExchangePass* P) {
      return P ? std::optional<int>(P->ReplyNumber) : std::optional<int>(0);
    };
    const std::string Pair = Paired ? FPrinter.StatusPair(Status(Row.A), Status(Row.B))
                                    : FPrinter.StatusPair(Status(Row.A ? Row.A : Row.B), {});
    std::string Text = FPrinter.EntryLine(CliVerdictWord(Row.Verdict), Row.Method, Row.URL, Pair,
                                          Row.Why);
    if (Row.Verdict == TCliVerdict::cvDiffers && Row.Comparison && Row.A)
      Text += FPrinter.Differences(*Row.Comparison, *Row.A);
    Write(Text);
    // Each entry is seen as it is done, also through a pipe.
    std::fflush(FOut);
  }
  Run.Rows.push_back(std::move(Row));
}

int TCliHarReport::Finish(TCliHarRun& Run) {
  if (FOptions.Json) {
    Write(CliHarJson(Run).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
          "\n");
  } else {
    std::string Counts;
    const TCliVerdict Order[] = {TCliVerdict::cvSame,    TCliVerdict::cvDiffers,
                                 TCliVerdict::cvFailed,  TCliVerdict::cvSkipped,
                                 TCliVerdict::cvOnlyInA, TCliVerdict::cvOnlyInB};
    for (const TCliVerdict V : Order) {
      std::size_t N = 0;
      for (const TCliHarRow& R : Run.Rows) N += R.Verdict == V;
      if (N > 0) Counts += ", " + std::to_string(N) + " " + std::string(CliVerdictWord(V));
    }
    const std::size_t All = Run.Rows.size();
    Write(std::to_string(All) + (All == 1 ? " entry" : " entries") +
          (Counts.empty() ? std::string() : ":" + Counts.substr(1)) + "\n");
  }
  if (std::fflush(FOut) != 0 || std::ferror(FOut)) {
    Complain("the result could not be written");
    return 2;
  }
  return Run.ExitStatus();
}

TPassCompare::TOptions TCliHarReport::CompareOptions(const TCliOptions& Options) {
  TPassCompare::TOptions Out;
  Out.Volatile.insert(Out.Volatile.end(), Options.IgnoreHeaders.begin(),
                      Options.IgnoreHeaders.end());
  return Out;
}
