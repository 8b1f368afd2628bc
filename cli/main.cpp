// orrery-cli: HTTP requests from the command line, one transfer per URL, through the same
// component as the desktop program, for scripts and terminals.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliCompare.h"
#include "cli/CliExitStatus.h"
#include "cli/CliReplay.h"
#include "cli/TCliOptions.h"
#include "cli/TCliSession.h"

int main(int argc, char* argv[]) {
  const auto Start = std::chrono::steady_clock::now();
  // A reader that goes away (| head) must end the run with curl's write error, 23, not
  // kill the program before it can say so.
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> Args(argv + 1, argv + argc);
  TCliOptions Options;
  try {
    Options = TCliOptions::Parse(Args);
  } catch (const EUsageError& E) {
    std::fprintf(stderr, "orrery-cli: %s\n%sTry 'orrery-cli --help' for more information.\n",
                 E.what(), CliUsageText().c_str());
    return ExitUsage;
  }
  if (Options.Action == TCliOptions::caCompare) return CliCompareRun(Options, stdout, stderr);
  if (Options.Action == TCliOptions::caReplay) return CliReplayRun(Options, stdout, stderr);
  if (Options.Action != TCliOptions::caRequest) {
    const std::string Text =
        Options.Action == TCliOptions::caHelp ? CliHelpText() : CliVersionText();
    std::fputs(Text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? ExitOk : CliExitStatus(TCliOutcome::WriteError);
  }
  TCliSession Session(Options, STDOUT_FILENO, stderr, Start);
  return Session.Run();
}
