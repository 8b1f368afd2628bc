// orrery-cli --compare A.har B.har: two files compared entry by entry, sending nothing. Entries
// are paired by method and URL: the n-th entry of a method and URL in A with the n-th of the
// same in B; one without a partner is only in its file, and counts as a difference.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "cli/TCliOptions.h"
#include "inspect/THarReader.h"

// A's entry and B's (by their place in each list), or one of them alone. In A's order; an
// entry only in B comes where it stands in B, after the pairs of B's entries before it.
using TEntryPair = std::pair<std::optional<std::size_t>, std::optional<std::size_t>>;
std::vector<TEntryPair> MatchEntries(const std::vector<THarEntry>& A,
                                     const std::vector<THarEntry>& B);

// The run of --compare, with standard output's style; returns the exit status.
int CliCompareRun(const TCliOptions& Options, std::FILE* Out, std::FILE* Err);
