// The mapping from a request's outcome to orrery-cli's exit status.
#include "cli/CliExitStatus.h"

int CliExitStatus(TCliOutcome Outcome, int ReplyNumber) {
  switch (Outcome) {
    case TCliOutcome::Completed:
      if (ReplyNumber <= 0) return ExitFailed;
      return ReplyNumber < 400 ? ExitOk : ExitHttpError;
    case TCliOutcome::HostNotFound: return ExitHostNotFound;
    case TCliOutcome::ConnectFailed: return ExitConnectFailed;
    case TCliOutcome::TimedOut: return ExitTimedOut;
    case TCliOutcome::Failed: break;
  }
  return ExitFailed;
}
