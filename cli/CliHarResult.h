// The result of --replay and --compare as rows, one per entry (or pair of entries), and the
// JSON document --json prints from them for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/TPassCompare.h"

enum class TCliVerdict : std::uint8_t {
  cvSame,     // the replies compare the same
  cvDiffers,  // they differ in what counts
  cvFailed,   // the replay of the entry failed (refused, time-out, TLS check ...)
  cvSkipped,  // the entry was not sent, and Why says why
  cvOnlyInA,  // --compare: the entry has no match in B
  cvOnlyInB   // ... or in A
};
// "same", "differs", "failed", "skipped", "only-in-A", "only-in-B": the first word of the
// entry's line and its "outcome" in the JSON document.
std::string_view CliVerdictWord(TCliVerdict Verdict);

struct TCliHarRow {
  TCliVerdict Verdict = TCliVerdict::cvSame;
  std::string Method;
  std::string URL;
  // The entries' places in log.entries: with --replay IndexA only; with --compare either
  // or both.
  std::optional<std::size_t> IndexA, IndexB;
  // The passes compared: the recorded one and the new one, or A's and B's; null when absent.
  // They belong to the logs and results the run keeps.
  const TExchangePass* A = nullptr;
  const TExchangePass* B = nullptr;
  std::string Why;
  std::optional<TPassComparison> Comparison;
};

struct TCliHarRun {
  std::string Mode;  // "replay" or "compare"
  std::vector<std::string> Files;
  std::string Base;
  std::vector<std::string> Errors;  // files that could not be read whole, with the reason
  std::vector<TCliHarRow> Rows;
  // 0 every row the same, 1 any other, 2 trouble (an error above, an output not written).
  int ExitStatus() const;
};

// The whole run as one document: mode, files, base, errors, a count per outcome, the exit
// status, and per row its outcome, method, URL, entries, status pair, why and comparison.
nlohmann::ordered_json CliHarJson(const TCliHarRun& Run);
nlohmann::ordered_json CliComparisonJson(const TPassComparison& C);
