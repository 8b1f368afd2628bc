// orrery-cli --compare: entries paired across two HARs, each pair compared, one line each.
#include "cli/CliCompare.h"

#include <unistd.h>

#include <deque>
#include <map>
#include <string>

#include "cli/TCliHarReport.h"

std::vector<TEntryPair> MatchEntries(const std::vector<THarEntry>& A,
                                     const std::vector<THarEntry>& B) {
  using TKey = std::pair<std::string, std::string>;
  std::map<TKey, std::deque<std::size_t>> Waiting;  // B's entries not yet paired, by key
  for (std::size_t J = 0; J < B.size(); ++J)
    Waiting[{B[J].Pass.Method, B[J].Pass.URL}].push_back(J);
  std::vector<std::optional<std::size_t>> Partner(A.size());
  std::vector<bool> Paired(B.size(), false);
  for (std::size_t I = 0; I < A.size(); ++I) {
    const auto Found = Waiting.find({A[I].Pass.Method, A[I].Pass.URL});
    if (Found == Waiting.end() || Found->second.empty()) continue;
    Partner[I] = Found->second.front();
    Paired[*Partner[I]] = true;
    Found->second.pop_front();
  }
  std::vector<TEntryPair> Out;
  std::size_t NextB = 0;  // B's entries before it are all placed
  const auto OnlyInBUpTo = [&](std::size_t End) {
    for (; NextB < End; ++NextB)
      if (!Paired[NextB]) Out.push_back({std::nullopt, NextB});
  };
  for (std::size_t I = 0; I < A.size(); ++I) {
    if (Partner[I]) {
      OnlyInBUpTo(*Partner[I]);
      NextB = std::max(NextB, *Partner[I] + 1);
    }
    Out.push_back({I, Partner[I]});
  }
  OnlyInBUpTo(B.size());
  return Out;
}

namespace {

TCliHarRow RowOf(const TEntryPair& Pair, const THarLog& A, const THarLog& B,
                 const TPassCompare::TOptions& Compare) {
  TCliHarRow Row;
  const THarEntry* EA = Pair.first ? &A.Entries[*Pair.first] : nullptr;
  const THarEntry* EB = Pair.second ? &B.Entries[*Pair.second] : nullptr;
  const THarEntry& Named = EA ? *EA : *EB;
  Row.Method = Named.Pass.Method;
  Row.URL = Named.Pass.URL;
  if (EA) {
    Row.IndexA = EA->Index;
    Row.A = &EA->Pass;
  }
  if (EB) {
    Row.IndexB = EB->Index;
    Row.B = &EB->Pass;
  }
  if (!EA || !EB) {
    Row.Verdict = EA ? TCliVerdict::cvOnlyInA : TCliVerdict::cvOnlyInB;
    return Row;
  }
  Row.Comparison = TPassCompare::Compare(EA->Pass, EB->Pass, Compare);
  Row.Verdict = Row.Comparison->Same() ? TCliVerdict::cvSame : TCliVerdict::cvDiffers;
  return Row;
}

}  // namespace

int CliCompareRun(const TCliOptions& Options, std::FILE* Out, std::FILE* Err) {
  TCliHarReport Report(Options, Out, Err, TDiffPrinter::StyleFor(::fileno(Out)));
  TCliHarRun Run;
  Run.Mode = "compare";
  Run.Files = Options.CompareFiles;
  const THarLog A = Report.Read(Options.CompareFiles[0], Run);
  const THarLog B = Report.Read(Options.CompareFiles[1], Run);
  // A file that gave nothing at all is no HAR to compare: its every entry would seem gone.
  if ((A.Entries.empty() && !A.Error.empty()) || (B.Entries.empty() && !B.Error.empty()))
    return 2;
  const TPassCompare::TOptions Compare = TCliHarReport::CompareOptions(Options);
  for (const TEntryPair& Pair : MatchEntries(A.Entries, B.Entries))
    Report.Add(Run, RowOf(Pair, A, B, Compare));
  return Report.Finish(Run);
}
