// TCliHarReport: what --replay and --compare share: reading a HAR (standard input for "-"),
// telling errors on standard error as -s and -S want, printing each row as it comes (or, for
// --json, the whole run once at the end), and the exit status.
#pragma once

#include <cstdio>
#include <string>

#include "cli/CliHarResult.h"
#include "cli/TCliOptions.h"
#include "cli/TDiffPrinter.h"
#include "inspect/THarReader.h"

class TCliHarReport {
 public:
  TCliHarReport(const TCliOptions& Options, std::FILE* Out, std::FILE* Err,
                TDiffPrinter::TStyle Style);

  // The log of FileName. An error of the file goes into Run.Errors and is told; the entries
  // read before it are kept, so that nothing that could be read is lost.
  THarLog Read(const std::string& FileName, TCliHarRun& Run);
  // Prints Row (with --json, nothing yet) and keeps it in Run.
  void Add(TCliHarRun& Run, TCliHarRow Row);
  // Standard output does not take what is written (a closed pipe, a full disk).
  bool Broken() const { return std::ferror(FOut) != 0; }
  // Tells an error that makes the run's status 2, and keeps it in Run.
  void Trouble(TCliHarRun& Run, const std::string& Message);
  // The JSON document, or the line of counts; the exit status (2 as well when the output
  // could not be written).
  int Finish(TCliHarRun& Run);

  // The options a comparison takes from the command line: the volatile names and
  // --ignore-header's.
  static TPassCompare::TOptions CompareOptions(const TCliOptions& Options);

 private:
  void Complain(const std::string& Message) const;
  void Write(const std::string& Text);

  const TCliOptions& FOptions;
  std::FILE* FOut;
  std::FILE* FErr;
  TDiffPrinter FPrinter;
};
