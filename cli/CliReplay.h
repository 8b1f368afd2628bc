// orrery-cli --replay FILE.har: each entry of a HAR sent again through a component of its own
// and its reply compared with the recorded one, one line per entry as it is done.
#pragma once

#include <cstdio>

#include "cli/TCliOptions.h"
#include "inspect/TPassReplay.h"

// What the replay takes from the command line: --base, --unsafe, --keep-credentials, the
// TLS options, -x, -m and --ignore-header.
TReplayOptions CliReplayOptions(const TCliOptions& Options);

// The run of --replay, with standard output's style; --har writes the new passes. Returns
// the exit status.
int CliReplayRun(const TCliOptions& Options, std::FILE* Out, std::FILE* Err);
